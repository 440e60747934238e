// Control of the mining daemon's process: start, restart and stop run the firmware's scripts
// on short-lived worker threads so the thread serving the server never waits for them; a
// flag per action refuses a second request of that kind while one is under way.
#pragma once

// 0 when a worker was started or one is already under way; -1 when none can be created.
int cgminer_start();
int cgminer_restart();
// Also 0 without a worker when the daemon does not run.
int cgminer_stop();

// True exactly when "pidof -s cgminer" exits with status 0.
bool cgminer_running();
// True exactly when the daemon's API accepts a connection.
bool cgminer_ready();

// True from a stop by the user until the next start; restarts leave it as it is.
bool miner_is_stopped();

// True while a start, restart or stop worker runs its scripts.
bool cgminer_action_in_progress();

// Back to the start-up state, miner not stopped; only while no worker runs (tests).
void cgminer_support_reset();
