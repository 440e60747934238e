#include "miner/watcher.h"

#include "log.h"
#include "platform.h"
#include "util.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

const char* const WATCHED_DIR = "/config";
constexpr uint32_t WATCHED_EVENTS = IN_CLOSE_WRITE | IN_MOVED_TO;
constexpr int POLL_TIMEOUT_MS = 1000;
constexpr int SETTLE_MS = 3 * POLL_TIMEOUT_MS;
// Room for 100 events carrying the longest file name.
constexpr size_t EVENT_BUFFER_SIZE = 100 * (sizeof(inotify_event) + NAME_MAX + 1);

// Start and stop take this lock, so a stop right after a start always finds the thread.
std::mutex control_lock;
std::thread watcher_thread; // guarded by control_lock
int stop_fd = -1;           // guarded by control_lock; an eventfd that wakes the thread's poll
std::atomic<bool> watcher_running = false;

// The thread's reads of the event queue, the pause flag and the pending change are taken
// together under this lock, so resume can drain the queue before it unpauses: events that
// the agent's own write queued are then discarded whatever the thread's timing.
std::mutex watch_lock;
int inotify_fd = -1;         // guarded by watch_lock; opened by start, closed by the thread
bool watcher_paused = false; // guarded by watch_lock
watcher_status pending{};    // guarded by watch_lock

void reset_watcher_status(watcher_status& status) {
    status = {};
}

bool has_changes(const watcher_status& status) {
    return status.miner_cfg_changed || status.net_cfg_changed;
}

bool is_file_change_event(const inotify_event& event) {
    return (event.mask & WATCHED_EVENTS) != 0;
}

// Reads the queued events (the descriptor does not block) and notes the watched files among
// them. Returns whether a change is pending, also one from an earlier read.
bool detect_config_changes(int fd, watcher_status& status) {
    alignas(inotify_event) char buffer[EVENT_BUFFER_SIZE];
    ssize_t length = read(fd, buffer, sizeof(buffer));
    if (length < 0) {
        if (errno != EAGAIN) {
            LOG_ERROR("Failed to read inotify events");
            return false;
        }
        length = 0; // drained by a resume since the poll
    }
    for (ssize_t offset = 0; offset < length;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
        if (event->len > 0 && is_file_change_event(*event)) {
            if (strcmp(event->name, "cgminer.conf") == 0) {
                status.miner_cfg_changed = true;
            } else if (strcmp(event->name, "network.conf") == 0) {
                status.net_cfg_changed = true;
            }
        }
        offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
    return has_changes(status);
}

// Discards every queued event. Caller holds watch_lock.
void drain_events() {
    if (inotify_fd < 0) {
        return;
    }
    alignas(inotify_event) char buffer[EVENT_BUFFER_SIZE];
    while (read(inotify_fd, buffer, sizeof(buffer)) > 0) {
    }
}

int open_watch() {
    int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) {
        LOG_ERROR("%s", strerror(errno));
        LOG_ERROR("Failed to initialize inotify");
        return -1;
    }
    std::string dir = platform_path(WATCHED_DIR);
    if (inotify_add_watch(fd, dir.c_str(), WATCHED_EVENTS) < 0) {
        LOG_ERROR("%s", strerror(errno));
        LOG_ERROR("Failed to watch %s", dir.c_str());
        close(fd);
        return -1;
    }
    return fd;
}

// One wake-up's worth of the settle logic: returns the change to report now, if any.
watcher_status take_settled_change(bool readable, int& quiet_ms) {
    std::lock_guard held(watch_lock);
    if (readable && detect_config_changes(inotify_fd, pending)) {
        quiet_ms = 0;
    }
    if (watcher_paused) {
        reset_watcher_status(pending);
    }
    if (!has_changes(pending)) {
        return {};
    }
    if (quiet_ms >= SETTLE_MS) {
        watcher_status settled = pending;
        reset_watcher_status(pending);
        return settled;
    }
    quiet_ms += POLL_TIMEOUT_MS;
    return {};
}

void watcher_func(watcher_callback_t callback, int fd, int wake_fd) {
    set_thread_name("watcher@agent");
    int quiet_ms = 0;
    while (watcher_running) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
        if (poll(fds, 2, POLL_TIMEOUT_MS) < 0) {
            if (errno == EINTR) {
                continue; // a signal meant for the process, not a failure of the wait
            }
            LOG_ERROR("%s", strerror(errno));
            LOG_ERROR("Failed to poll config change events");
            break;
        }
        if ((fds[1].revents & POLLIN) != 0) {
            break;
        }
        watcher_status settled = take_settled_change((fds[0].revents & POLLIN) != 0, quiet_ms);
        if (has_changes(settled) && callback != nullptr) {
            callback(settled);
        }
    }
    watcher_running = false;
    std::lock_guard held(watch_lock);
    inotify_fd = -1;
    close(fd);
}

} // namespace

int watcher_start(watcher_callback_t callback) {
    std::lock_guard held(control_lock);
    if (watcher_running) {
        LOG_WARN("Watcher is already running");
        return 0;
    }
    if (watcher_thread.joinable()) {
        watcher_thread.join(); // ended on its own after a failure
    }
    // The watch is in place when start returns, so no edit made after it is missed. Without
    // it the agent goes on unwatched.
    int fd = open_watch();
    if (fd < 0) {
        return 0;
    }
    {
        std::lock_guard watching(watch_lock);
        inotify_fd = fd;
        reset_watcher_status(pending);
    }
    stop_fd = eventfd(0, EFD_CLOEXEC);
    if (stop_fd < 0) {
        LOG_ERROR("Failed to start watcher thread, ret=%d", errno);
        abort();
    }
    // Set here rather than by the thread, so that a stop issued at once is never lost.
    watcher_running = true;
    try {
        watcher_thread = std::thread(watcher_func, callback, fd, stop_fd);
    } catch (const std::system_error& e) {
        LOG_ERROR("Failed to start watcher thread, ret=%d", e.code().value());
        abort();
    }
    return 0;
}

int watcher_stop() {
    std::lock_guard held(control_lock);
    if (!watcher_thread.joinable()) {
        LOG_WARN("Watcher is not running");
        return 0;
    }
    if (!watcher_running) {
        LOG_WARN("Watcher is not running");
    }
    watcher_running = false;
    uint64_t one = 1;
    if (write(stop_fd, &one, sizeof(one)) < 0) {
        // The flag still ends the thread at its next poll timeout.
        LOG_ERROR("Failed to wake watcher thread: %s", strerror(errno));
    }
    try {
        watcher_thread.join();
    } catch (const std::system_error& e) {
        LOG_ERROR("Failed to join watcher thread, ret=%d", e.code().value());
        return -1;
    }
    close(stop_fd);
    stop_fd = -1;
    return 0;
}

void watcher_pause() {
    std::lock_guard held(watch_lock);
    watcher_paused = true;
}

void watcher_resume() {
    std::lock_guard held(watch_lock);
    drain_events();
    reset_watcher_status(pending);
    watcher_paused = false;
}
