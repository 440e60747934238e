#include "platform.h"

#include "handles.h"
#include "log.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <optional>

extern char** environ;

namespace {

std::string root;
std::string iface = "eth0";
int api_port = 4028;
// Set once before any thread starts (sandbox only); empty in the production agent.
std::string clock_offset_file;

// Slice of a bounded read: how soon a moved clock or a stop is noticed.
constexpr int READ_SLICE_MS = 200;

const char* const SHELL = "/bin/sh";

// Starts `command` through the shell with `stdout_fd` (if >= 0) as its standard output. The
// child gets no other descriptor of ours: libraries open theirs without close-on-exec (the log
// file, for one), and a daemon started through a script would pin them for its whole life.
// Every signal is at its default and unblocked in the child, whatever the calling thread had.
// Returns the child's pid, or -1 (logged).
pid_t spawn(const std::string& command, int stdout_fd, bool own_group) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    if (stdout_fd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, stdout_fd, STDOUT_FILENO);
    }
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (own_group) {
        flags |= POSIX_SPAWN_SETPGROUP; // group 0: a new group led by the child
    }
    posix_spawnattr_setflags(&attr, flags);
    pid_t pid = -1;
    char* const args[] = {const_cast<char*>(SHELL), const_cast<char*>("-c"),
                          const_cast<char*>(command.c_str()), nullptr};
    int error = posix_spawn(&pid, SHELL, &actions, &attr, args, environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        LOG_ERROR("Failed to start %s for %s: %s", SHELL, command.c_str(), strerror(error));
        return -1;
    }
    return pid;
}

int wait_child(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return status;
}

// Ends a program that may have started others: its whole process group goes.
void kill_child(pid_t pid) {
    kill(-pid, SIGKILL);
    wait_child(pid);
}

} // namespace

void platform_configure(const std::string& new_root, const std::string& new_iface,
                        int new_api_port) {
    root = new_root;
    iface = new_iface;
    api_port = new_api_port;
}

void platform_reset() {
    platform_configure("", "eth0", 4028);
    clock_offset_file.clear();
}

std::string platform_path(const std::string& path) {
    return root + path;
}

const std::string& platform_root() {
    return root;
}

const std::string& platform_iface() {
    return iface;
}

int platform_api_port() {
    return api_port;
}

int64_t platform_clock_ms() {
    int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count();
    if (!clock_offset_file.empty()) {
        int64_t offset = 0;
        if (std::ifstream(clock_offset_file) >> offset) {
            now += offset * 1000;
        }
    }
    return now;
}

void platform_set_clock_offset_file(const std::string& path) {
    clock_offset_file = path;
}

std::string platform_shell_path(const std::string& path) {
    std::string full = platform_path(path);
    if (full.find_first_not_of(
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789/._-") ==
        std::string::npos) {
        return full;
    }
    std::string quoted = "'";
    for (char c : full) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

int platform_run(const std::string& command) {
    pid_t pid = spawn(command, -1, false);
    return pid < 0 ? -1 : wait_child(pid);
}

platform_read_result platform_read_output(const std::string& command, int limit_secs,
                                          const std::function<bool(const char*, size_t)>& sink,
                                          const std::function<bool()>& stopping) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        LOG_ERROR("Failed to start %s: %s", command.c_str(), strerror(errno));
        return PLATFORM_READ_NOT_STARTED;
    }
    unique_fd reader(ends[0]);
    pid_t pid = -1;
    {
        unique_fd writer(ends[1]); // ours closes at once, so the end of output is seen
        pid = spawn(command, writer.get(), true);
    }
    if (pid < 0) {
        return PLATFORM_READ_NOT_STARTED;
    }
    const int64_t deadline = platform_clock_ms() + int64_t{limit_secs} * 1000;
    // Asked at every slice: kills the program when its caller stops or its time is up.
    auto cut_short = [&]() -> std::optional<platform_read_result> {
        platform_read_result result = PLATFORM_READ_STOPPED;
        if (stopping()) {
            LOG_INFO("%s ended early: its caller is stopping", command.c_str());
        } else if (platform_clock_ms() >= deadline) {
            LOG_ERROR("%s did not finish within %d s", command.c_str(), limit_secs);
            result = PLATFORM_READ_TIMED_OUT;
        } else {
            return std::nullopt;
        }
        kill_child(pid);
        return result;
    };
    char piece[4096];
    for (;;) {
        if (auto result = cut_short()) {
            return *result;
        }
        pollfd entry = {reader.get(), POLLIN, 0};
        if (poll(&entry, 1, READ_SLICE_MS) <= 0) {
            continue; // a time-out slice or a signal: look at the clock again
        }
        ssize_t got = read(reader.get(), piece, sizeof(piece));
        if (got == 0) {
            break;
        }
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            break; // the pipe broke; what was read is the output
        }
        if (!sink(piece, static_cast<size_t>(got))) {
            kill_child(pid);
            return PLATFORM_READ_REFUSED;
        }
    }
    // The output is complete; a program that lingers after closing it is not waited for long.
    for (;;) {
        pid_t ended = waitpid(pid, nullptr, WNOHANG);
        if (ended == pid || (ended < 0 && errno != EINTR)) {
            break;
        }
        if (auto result = cut_short()) {
            return *result;
        }
        poll(nullptr, 0, 20);
    }
    return PLATFORM_READ_OK;
}
