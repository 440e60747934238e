#include "miner/support.h"

#include "handles.h"
#include "log.h"
#include "miner/api.h"
#include "miner/status.h"
#include "platform.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

namespace {

// Written by the workers and read by the requesting, status and metrics threads. A worker
// clears its flag as its very last step, so a cleared flag means it touches nothing more.
std::atomic<bool> start_in_progress = false;
std::atomic<bool> restart_in_progress = false;
std::atomic<bool> stop_in_progress = false;
std::atomic<bool> stopped_by_user = false;

// A restart asked for while a start or restart runs is not lost: it is kept here, and the
// worker that ends last runs it, once however often it was asked for. So the daemon always
// ends up having read the settings file as the last change left it. A stop cancels it: the
// user's stop holds until the next start, which reads the file as it is then.
std::mutex restart_lock;
bool restart_pending = false; // guarded by restart_lock, as are the hand-overs of the two flags
std::condition_variable starts_ended; // with restart_lock: no start or restart runs any more
// Every start and stop request counts up; the stop worker stops the daemon only while the
// latest request is still its stop.
uint32_t requests = 0;    // guarded by restart_lock
uint32_t latest_stop = 0; // guarded by restart_lock

int run_init_script(const char* action) {
    return platform_run(platform_shell_path("/etc/init.d/cgminer.sh") + " " + action);
}

std::string stop_trigger() {
    return platform_shell_path("/tmp/stoptrigger");
}

// The first `limit` bytes of a small file, or "" when it cannot be read (a process that
// ended during the scan).
std::string read_head(const std::filesystem::path& path, size_t limit) {
    file_ptr file(std::fopen(path.c_str(), "re"));
    if (!file) {
        return "";
    }
    std::string text(limit, '\0');
    text.resize(std::fread(text.data(), 1, limit, file.get()));
    return text;
}

bool names_the_daemon(const std::filesystem::path& process) {
    std::string comm = read_head(process / "comm", 64);
    if (comm.substr(0, comm.find('\n')) == "cgminer") {
        return true;
    }
    std::string cmdline = read_head(process / "cmdline", 4096);
    std::string program = cmdline.substr(0, cmdline.find('\0'));
    return program.substr(program.rfind('/') + 1) == "cgminer";
}

void run_restart() {
    LOG_INFO("Restarting miner");
    run_init_script("restart");
    LOG_INFO("Miner restarted");
    status_report_now();
}

// The last step of a start or restart worker: gives its flag back, then runs the restart
// asked for meanwhile when no other start or restart is left to do it.
void finish(std::atomic<bool>* flag) {
    for (;;) {
        {
            std::lock_guard held(restart_lock);
            // Told before the flag goes, as a cleared flag means the worker touches nothing
            // more; a waiter looks at the flags only once the lock is free.
            starts_ended.notify_all();
            *flag = false;
            if (!restart_pending || start_in_progress || restart_in_progress) {
                return;
            }
            restart_pending = false;
            restart_in_progress = true;
        }
        flag = &restart_in_progress;
        run_restart();
    }
}

void start_miner_func() {
    LOG_INFO("Starting miner");
    if (cgminer_running()) {
        run_init_script("stop");
    }
    platform_run("rm " + stop_trigger());
    run_init_script("start");
    LOG_INFO("Miner started");
    stopped_by_user = false;
    status_report_now();
    finish(&start_in_progress);
}

void restart_miner_func() {
    run_restart();
    finish(&restart_in_progress);
}

void stop_miner_func() {
    {
        // A start or restart under way ends first, so that its script cannot bring the daemon
        // back after the stop page; a start asked for meanwhile is the user's later word.
        std::unique_lock held(restart_lock);
        starts_ended.wait(held, [] { return !start_in_progress && !restart_in_progress; });
        if (latest_stop != requests) {
            LOG_INFO("Miner was started again, not stopping it");
            stop_in_progress = false;
            return;
        }
    }
    platform_run(platform_shell_path("/www/pages/cgi-bin/stop_cgminer.cgi"));
    stopped_by_user = true;
    platform_run("echo \"1\" > " + stop_trigger());
    status_report_now();
    stop_in_progress = false;
}

// Claims `flag` before the worker exists, so two quick requests cannot both start one, and
// gives it back when the worker cannot be created. Returns 0 when a worker was started or one
// of its kind is under way, -1 when none can be created.
int launch(std::atomic<bool>* flag, void (*worker)(), const char* busy, const char* failed) {
    bool idle = false;
    if (!flag->compare_exchange_strong(idle, true)) {
        LOG_WARN("%s", busy);
        return 0;
    }
    try {
        std::thread(worker).detach();
    } catch (const std::system_error&) {
        *flag = false;
        LOG_ERROR("%s", failed);
        return -1;
    }
    return 0;
}

} // namespace

int cgminer_start() {
    {
        std::lock_guard held(restart_lock);
        requests++;
    }
    return launch(&start_in_progress, start_miner_func, "Starting of miner is in progress",
                  "Failed to create start miner thread");
}

int cgminer_restart() {
    std::lock_guard held(restart_lock);
    // The user's stop holds until a start is asked for.
    if (latest_stop == requests && (stop_in_progress || stopped_by_user)) {
        LOG_INFO("Miner is stopped, not restarting it");
        return 0;
    }
    if (restart_in_progress || start_in_progress) {
        restart_pending = true;
        if (restart_in_progress) {
            LOG_WARN("Miner is already restarting");
        } else {
            LOG_INFO("Miner is starting, restarting it afterwards");
        }
        return 0;
    }
    return launch(&restart_in_progress, restart_miner_func, "Miner is already restarting",
                  "Failed to create restart miner thread");
}

int cgminer_stop() {
    {
        std::lock_guard held(restart_lock);
        restart_pending = false;
        latest_stop = ++requests;
        // A start or restart under way may have the daemon down for a moment only.
        if (!start_in_progress && !restart_in_progress && !cgminer_running()) {
            LOG_WARN("Miner is not running");
            return 0;
        }
    }
    return launch(&stop_in_progress, stop_miner_func, "Stopping of miner is in progress",
                  "Failed to create stop miner thread");
}

bool cgminer_running() {
    std::error_code error;
    std::filesystem::directory_iterator entry(platform_path("/proc"), error);
    for (; !error && entry != std::filesystem::directory_iterator(); entry.increment(error)) {
        std::string name = entry->path().filename();
        if (name.find_first_not_of("0123456789") == std::string::npos &&
            names_the_daemon(entry->path())) {
            return true;
        }
    }
    return false;
}

bool cgminer_ready() {
    return api_is_alive();
}

bool miner_is_stopped() {
    return stopped_by_user;
}

bool cgminer_action_in_progress() {
    return start_in_progress || restart_in_progress || stop_in_progress;
}

void cgminer_support_reset() {
    stopped_by_user = false;
    std::lock_guard held(restart_lock);
    restart_pending = false;
    requests = latest_stop = 0;
}
