// The configuration upload, and what the server was last given of the two settings files it
// describes, so that no change is lost on its way: one made while no session could carry it
// is uploaded after the next authentication, one that a new process cannot show the server
// has is uploaded after its first, and the agent's own write on top of something the server
// has not seen is uploaded too. Files are compared by content, never by events.
#pragma once

#include "miner/watcher.h"

#include <cstdint>
#include <string>

// Start-up: takes what the server held when an earlier process of the agent ended, from the
// record under "/var/run" (it survives the agent's restarts, not a reboot), when it was kept
// for the same `server` and `device`. Without it the server's copy counts as unknown.
void upload_load_record(const std::string& server, const std::string& device);

// Queues "update_config" with the configuration snapshot; the result of the enqueue
// (0, -1 dropped, -2 no session). Any thread.
int upload_miner_config();

// After an authentication that is not a registration: true when the files hold something the
// server was not given and no upload is already queued on this session. Main thread.
bool upload_owed();

// The outgoing queue, on the main thread: the upload `id` left whole; the session ended, and
// uploads still queued on it never left.
void upload_sent(uint32_t id);
void upload_session_ended();

// The agent's own write of a settings file (`written.replaced` is what it re-read and wrote
// over). When the server held that, it now holds the write; otherwise the write carries a
// change the server has not seen, and `written.report` is set so that it gets uploaded.
void upload_own_write(watcher_own_write& written);

// Back to start-up: nothing known, nothing queued (tests).
void upload_reset();
