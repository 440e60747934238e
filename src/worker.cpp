#include "worker.h"

#include <system_error>

int worker_start(worker& w, void (*body)()) {
    std::lock_guard held(w.lock);
    if (w.running) {
        return 0;
    }
    w.running = true;
    try {
        w.thread = std::thread(body);
    } catch (const std::system_error& e) {
        w.running = false;
        return e.code().value();
    }
    return 0;
}

void worker_stop(worker& w) {
    {
        std::lock_guard held(w.lock);
        if (!w.running) {
            return;
        }
        w.running = false;
    }
    w.wake.notify_all();
    w.thread.join();
}
