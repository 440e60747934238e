// The mining daemon seen from the agent: its process (start, restart and stop run the
// firmware's scripts on short-lived worker threads, one flag per action refusing a second
// request while one is under way) and the change transaction on its configuration file.
#pragma once

#include "miner/config.h"

// 0 when a worker was started or one is already under way; -1 when none can be created.
int cgminer_start();
// As start; a restart asked for while a start or restart is under way runs once after it, so
// that the daemon reads the settings file as it is now. None while the user's stop holds.
int cgminer_restart();
// Also 0 without a worker when the daemon does not run and no start or restart is under way.
// Cancels a pending restart; the worker waits for a running start or restart to end, and
// stops nothing when a start was asked for meanwhile.
int cgminer_stop();

// True exactly when "pidof -s cgminer" would find the daemon: some /proc/PID whose name (comm)
// or first command-line word's base name is "cgminer". Reads /proc; starts no process.
bool cgminer_running();
// True exactly when the daemon's API accepts a connection.
bool cgminer_ready();

// True from a stop by the user until the next start; restarts leave it as it is.
bool miner_is_stopped();

// True while a start, restart or stop worker runs its scripts.
bool cgminer_action_in_progress();

// The change transaction on the daemon's configuration file (main thread only). Begin loads
// the file into the shared record: 0, or -1 (logged). End stores the record when a setter
// changed it, with the watcher paused around the write, and always clears the record:
// 1 stored, 0 nothing to store, -1 the store failed (the old file stays).
int cgminer_config_begin_changes();
int cgminer_config_end_changes();
// Back to no open transaction without storing anything (tests).
void cgminer_config_reset();

// The shared record of the open transaction and its flags, for the setters.
miner_config& shared_miner_config();
bool miner_config_is_loaded();
void miner_config_mark_changed();

// Sets pool slot `index` (0..2; pool_count appends). Null password stores an empty one.
// 1 changed, 0 already so, -1 refused (logged).
int cgminer_pool(int index, const char* url, const char* worker, const char* passwd);
void pool_cfg_fill(pool_config* pool, const char* url, const char* worker, const char* passwd);

// Back to the start-up state, miner not stopped; only while no worker runs (tests).
void cgminer_support_reset();
