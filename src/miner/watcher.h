// A thread that watches "/config" and reports, about 3 s after the last change, that the
// daemon's or the network's settings file was written or replaced by someone else.
#pragma once

#include "atomic_file.h"

#include <optional>
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
    std::optional<std::string> replaced; // what the agent re-read and wrote over; none: no file
    bool report = false; // the write carries a change of someone else's: report it all the same
};

// Starts the thread (0); a second start only warns. When "/config" cannot be watched yet, the
// thread keeps trying.
int watcher_start(watcher_callback_t callback);
// Stops the thread promptly and waits for it: 0, or -1 when it cannot be joined.
int watcher_stop();

// Around the agent's own writes, so that they never come back as a change. Nothing is reported
// while paused. The pause ends a second after the last resume, on the watcher's thread, so
// the caller never waits: then every change to the two files seen since the pause began that
// is not the agent's last write of the file as it still stands (or that is, but carries a
// change to report), and any change that was already waiting, is reported after the settle
// time. Pauses during that second join the same one. Any thread.
void watcher_pause();
void watcher_resume(const watcher_own_write& written);
