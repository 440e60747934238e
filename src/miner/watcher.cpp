#include "miner/watcher.h"

#include "atomic_file.h"
#include "log.h"
#include "platform.h"
#include "util.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace {

const char* const WATCHED_DIR = "/config";
constexpr uint32_t WATCHED_EVENTS = IN_CLOSE_WRITE | IN_MOVED_TO;
// The directory itself going away: its watch is gone and must be set up again.
constexpr uint32_t DIR_GONE_EVENTS = IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_IGNORED;
constexpr int POLL_TIMEOUT_MS = 1000;
constexpr int SETTLE_MS = 3 * POLL_TIMEOUT_MS;
// The watcher stays paused for this long after the agent's own store; at the resume it tells
// the store's events apart from anyone else's edits made meanwhile.
constexpr int STORE_SETTLE_MS = 1000;
// How often a lost watch is tried again while the directory is missing.
constexpr int RETRY_MS = 3 * POLL_TIMEOUT_MS;
// Room for 100 events carrying the longest file name.
constexpr size_t EVENT_BUFFER_SIZE = 100 * (sizeof(inotify_event) + NAME_MAX + 1);
// After events may have been lost, either file may have changed.
constexpr watcher_status BOTH_CHANGED = {true, true};

// Start and stop take this lock, so a stop right after a start always finds the thread.
std::mutex control_lock;
std::thread watcher_thread; // guarded by control_lock
int stop_fd = -1;           // guarded by control_lock; an eventfd that wakes the thread's poll
std::atomic<bool> watcher_running = false;

// The thread's handling of events, the pause and the resume all take this lock, so the resume
// sees every event that the agent's own write queued, whatever the thread's timing.
std::mutex watch_lock;
struct watch_state {
    int fd = -1;               // the inotify instance: opened by start, closed by the thread
    int wd = -1;               // the directory's watch; -1 while it is lost
    file_identity dir{};       // the directory the watch is on
    int64_t retry_at = 0;      // while lost: when to try again
    bool retry_logged = false; // the failure to watch is logged once per loss
    bool paused = false;
    int64_t resume_at = 0;              // while paused: when watching goes on; 0 during a store
    std::vector<watcher_own_write> own; // the agent's last write of each file in this pause
    watcher_status pending{};           // changes waiting to be reported
    watcher_status touched{}; // seen during a pause, not yet told apart from the agent's own
    int64_t quiet_since = 0;  // when the last change was seen
} watch;                      // guarded by watch_lock

void reset_watcher_status(watcher_status& status) {
    status = {};
}

bool has_changes(const watcher_status& status) {
    return status.miner_cfg_changed || status.net_cfg_changed;
}

void merge(watcher_status& into, const watcher_status& from) {
    into.miner_cfg_changed = into.miner_cfg_changed || from.miner_cfg_changed;
    into.net_cfg_changed = into.net_cfg_changed || from.net_cfg_changed;
}

// The flag of the watched file called `name`, or none.
bool* flag_of(watcher_status& status, const char* name) {
    if (strcmp(name, "cgminer.conf") == 0) {
        return &status.miner_cfg_changed;
    }
    if (strcmp(name, "network.conf") == 0) {
        return &status.net_cfg_changed;
    }
    return nullptr;
}

bool is_file_change_event(const inotify_event& event) {
    return (event.mask & WATCHED_EVENTS) != 0;
}

std::string watched_dir() {
    return platform_path(WATCHED_DIR);
}

// Reads the queued events (the descriptor does not block) and notes the watched files among
// them into `seen`; an overflowed queue may have dropped either. Sets `lost` when the
// directory's watch went away. Returns the bytes read: 0 when none were queued, -1 on an error.
// Caller holds watch_lock.
ssize_t detect_config_changes(watcher_status& seen, bool& lost) {
    alignas(inotify_event) char buffer[EVENT_BUFFER_SIZE];
    ssize_t length = read(watch.fd, buffer, sizeof(buffer));
    if (length < 0) {
        if (errno != EAGAIN && errno != EINTR) {
            LOG_ERROR("Failed to read inotify events");
            return -1;
        }
        return 0;
    }
    for (ssize_t offset = 0; offset < length;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
        if ((event->mask & IN_Q_OVERFLOW) != 0) {
            LOG_WARN("Too many changes in %s at once, taking both settings files as changed",
                     watched_dir().c_str());
            merge(seen, BOTH_CHANGED);
        } else if (event->wd != watch.wd) {
            // The last words of a watch already given up.
        } else if ((event->mask & DIR_GONE_EVENTS) != 0) {
            lost = true;
        } else if (event->len > 0 && is_file_change_event(*event)) {
            if (bool* flag = flag_of(seen, event->name)) {
                *flag = true;
            }
        }
        offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
    return length;
}

// Caller holds watch_lock.
void note_changes(const watcher_status& seen) {
    if (watch.paused) {
        merge(watch.touched, seen);
    } else if (has_changes(seen)) {
        merge(watch.pending, seen);
        watch.quiet_since = platform_clock_ms();
    }
}

// Sets the watch on the directory up; false (logged once per loss) when it cannot be.
// Caller holds watch_lock.
bool add_watch(int64_t now) {
    std::string dir = watched_dir();
    struct stat dir_stat {};
    int wd = -1;
    // Looked at first: should the directory be replaced right after, the next check sees it.
    if (stat(dir.c_str(), &dir_stat) == 0) {
        wd = inotify_add_watch(watch.fd, dir.c_str(),
                               WATCHED_EVENTS | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR);
    }
    if (wd < 0) {
        if (!watch.retry_logged) {
            LOG_ERROR("%s", strerror(errno));
            LOG_ERROR("Failed to watch %s", dir.c_str());
            watch.retry_logged = true;
        }
        watch.retry_at = now + RETRY_MS;
        return false;
    }
    watch.wd = wd;
    watch.dir = {dir_stat.st_dev, dir_stat.st_ino};
    watch.retry_logged = false;
    return true;
}

void lose_watch(const char* how) {
    inotify_rm_watch(watch.fd, watch.wd); // fails harmlessly when the kernel removed it
    watch.wd = -1;
    watch.retry_at = 0;
    LOG_WARN("Lost the watch on %s: the directory was %s", watched_dir().c_str(), how);
}

// Keeps the watch on the directory that "/config" names now: one moved away, deleted,
// unmounted or mounted over is watched again as soon as the directory is there. Edits may
// have been missed meanwhile, so both files then count as changed. Caller holds watch_lock.
void keep_watching(bool lost, int64_t now) {
    if (watch.wd >= 0) {
        struct stat dir_stat {};
        if (lost) {
            lose_watch("moved, deleted or unmounted");
        } else if (stat(watched_dir().c_str(), &dir_stat) != 0 ||
                   dir_stat.st_dev != watch.dir.dev || dir_stat.st_ino != watch.dir.ino) {
            lose_watch("replaced");
        } else {
            return;
        }
    }
    if (now < watch.retry_at || !add_watch(now)) {
        return;
    }
    LOG_INFO("Watching %s again", watched_dir().c_str());
    note_changes(BOTH_CHANGED);
}

// Whether the file at `written.path` is still the one the agent renamed in, unchanged.
bool is_own_write(const watcher_own_write& written) {
    struct stat file_stat {};
    if (stat(written.path.c_str(), &file_stat) != 0 || file_stat.st_dev != written.file.dev ||
        file_stat.st_ino != written.file.ino ||
        static_cast<size_t>(file_stat.st_size) != written.text.size()) {
        return false;
    }
    std::optional<std::string> text = read_settings_file(written.path);
    return text && *text == written.text;
}

// Ends a pause: every change to the two files seen during it counts, but the agent's own
// writes that still stand unchanged, unless they carry someone else's change. Caller holds
// watch_lock.
void end_pause() {
    if (watch.fd >= 0) {
        watcher_status seen{};
        bool lost = false;
        while (detect_config_changes(seen, lost) > 0) {
        }
        merge(watch.touched, seen);
        keep_watching(lost, platform_clock_ms());
    }
    for (const watcher_own_write& written : watch.own) {
        std::string name = written.path.substr(written.path.rfind('/') + 1);
        if (bool* flag = flag_of(watch.touched, name.c_str())) {
            *flag = written.report || !is_own_write(written);
        }
    }
    watch.own.clear();
    merge(watch.pending, watch.touched);
    reset_watcher_status(watch.touched);
    watch.paused = false;
    watch.resume_at = 0;
    if (has_changes(watch.pending)) {
        watch.quiet_since = platform_clock_ms();
    }
}

// One wake-up's worth of watching and settling: returns the change to report now, if any.
watcher_status take_settled_change(bool readable) {
    std::lock_guard held(watch_lock);
    bool lost = false;
    if (readable) {
        watcher_status seen{};
        detect_config_changes(seen, lost);
        note_changes(seen);
    }
    int64_t now = platform_clock_ms();
    keep_watching(lost, now);
    if (watch.paused && watch.resume_at != 0 && now >= watch.resume_at) {
        end_pause();
    }
    if (watch.paused || !has_changes(watch.pending) || now - watch.quiet_since < SETTLE_MS) {
        return {};
    }
    watcher_status settled = watch.pending;
    reset_watcher_status(watch.pending);
    return settled;
}

// Until the next look: a second, or less when a pause ends sooner.
int next_wait_ms() {
    std::lock_guard held(watch_lock);
    if (!watch.paused || watch.resume_at == 0) {
        return POLL_TIMEOUT_MS;
    }
    return static_cast<int>(
        std::clamp<int64_t>(watch.resume_at - platform_clock_ms(), 0, POLL_TIMEOUT_MS));
}

void watcher_func(watcher_callback_t callback, int fd, int wake_fd) {
    set_thread_name("watcher@agent");
    while (watcher_running) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
        if (poll(fds, 2, next_wait_ms()) < 0) {
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
        watcher_status settled = take_settled_change((fds[0].revents & POLLIN) != 0);
        if (has_changes(settled) && callback != nullptr) {
            callback(settled);
        }
    }
    watcher_running = false;
    std::lock_guard held(watch_lock);
    watch.fd = -1;
    watch.wd = -1;
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
    int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) {
        LOG_ERROR("%s", strerror(errno));
        LOG_ERROR("Failed to initialize inotify");
        return 0;
    }
    {
        // The watch is in place when start returns, so no edit made after it is missed. When
        // the directory is not there yet, the thread keeps trying.
        std::lock_guard watching(watch_lock);
        watch = watch_state{};
        watch.fd = fd;
        add_watch(platform_clock_ms());
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
    if (!watch.paused) {
        watch.paused = true;
        reset_watcher_status(watch.touched);
    }
    watch.resume_at = 0; // not before this store has ended
}

void watcher_resume(const watcher_own_write& written) {
    std::lock_guard held(watch_lock);
    if (!written.path.empty()) {
        auto same = std::find_if(watch.own.begin(), watch.own.end(),
                                 [&](const auto& earlier) { return earlier.path == written.path; });
        if (same == watch.own.end()) {
            watch.own.push_back(written);
        } else {
            // Once one write of the pause carried someone else's change, the file does.
            bool report = same->report || written.report;
            *same = written;
            same->report = report;
        }
    }
    // The thread ends the pause; without one there is nothing to tell apart.
    watch.resume_at = platform_clock_ms() + STORE_SETTLE_MS;
    if (watch.fd < 0) {
        end_pause();
    }
}
