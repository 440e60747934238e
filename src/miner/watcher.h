// A thread that watches "/config" and reports, about 3 s after the last change, that the
// daemon's or the network's settings file was written or replaced by someone else.
#pragma once

struct watcher_status {
    bool miner_cfg_changed; // "cgminer.conf" written or moved in
    bool net_cfg_changed;   // "network.conf" written or moved in
};

using watcher_callback_t = void (*)(const watcher_status& status);

// Starts the thread (0); a second start only warns.
int watcher_start(watcher_callback_t callback);
// Stops the thread promptly and waits for it: 0, or -1 when it cannot be joined.
int watcher_stop();

// Around the agent's own writes: every change seen from pause until resume is discarded,
// together with any change still waiting to be reported. Any thread.
void watcher_pause();
void watcher_resume();
