// A background thread that stops promptly and cleanly: between cycles it waits on a condition
// variable that worker_stop signals, so no cancellation can leave a lock held.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

struct worker {
    std::thread thread;
    std::mutex lock;
    std::condition_variable wake;
    std::atomic<bool> running = false; // changed under lock, so a waiter cannot miss the stop
};

// Starts `body` unless the worker runs. Returns 0, or the error code when no thread can be
// created (the worker is then not running).
int worker_start(worker& w, void (*body)());

// Clears `running`, wakes the thread and waits for it to end.
void worker_stop(worker& w);

// Waits up to `period` on the worker's lock (held by the caller) until it is stopped or
// `ready` holds. Returns true while the worker should go on.
template <typename Ready>
bool worker_pause(worker& w, std::unique_lock<std::mutex>& held, std::chrono::seconds period,
                  Ready ready) {
    w.wake.wait_for(held, period, [&] { return !w.running || ready(); });
    return w.running;
}
