// A thread that watches "/config" and reports, about 3 s after the last change, that the
// daemon's or the network's settings file was written or replaced by someone else.
#pragma once

#include "atomic_file.h"

#include <string>

struct watcher_status {
    bool miner_cfg_changed; // "cgminer.conf" written or moved in
    bool net_cfg_changed;   // "network.conf" written or moved in
};

using watcher_callback_t = void (*)(const watcher_status& status);

// The file the agent itself renamed in while the watcher was paused.
struct watcher_own_write {
    std::string path; // "" when nothing was written
    file_identity file;
    std::string text;
};

// Starts the thread (0); a second start only warns. When "/config" cannot be watched yet, the
// thread keeps trying.
int watcher_start(watcher_callback_t callback);
// Stops the thread promptly and waits for it: 0, or -1 when it cannot be joined.
int watcher_stop();

// Around the agent's own writes, so that they never come back as a change. Nothing is reported
// while paused; at the resume, every change to the two files seen since the pause began that
// is not `written` as it still stands, and any change that was already waiting, is reported
// after the settle time. Any thread.
void watcher_pause();
void watcher_resume(const watcher_own_write& written);
