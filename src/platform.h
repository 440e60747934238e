// The one place where the agent meets the operating system's fixed names: absolute paths,
// the network interface, the daemon's API port, the programs it starts and the clock. The
// production agent uses them as they are; the sandbox relocates every path under a root
// directory and may move the clock forward.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Points every fixed path under `root` ("" for the real file system) and names the
// interface and daemon port to use.
void platform_configure(const std::string& root, const std::string& iface, int api_port);

// Back to the production defaults: no root, "eth0", 4028, the plain clock.
void platform_reset();

// The real location of one of the system's fixed absolute paths, such as "/config".
std::string platform_path(const std::string& path);

const std::string& platform_root();
const std::string& platform_iface();
int platform_api_port();

// Milliseconds on a monotonic clock, for intervals.
int64_t platform_clock_ms();

// Sandbox only: from now on the clock adds the whole seconds written in the file `path`
// (read at every call; a missing file adds nothing), so tests can let hours pass at once.
void platform_set_clock_offset_file(const std::string& path);

// The relocated `path`, quoted for a shell command line when it holds anything but plain path
// characters (the production paths never do, so their commands read exactly as written).
std::string platform_shell_path(const std::string& path);

// Runs `command` through the system shell ("/bin/sh -c") and waits for it, as the firmware's
// scripts expect: one without a "#!" line is run by the shell itself. The shell holds none of
// the agent's descriptors but the standard three and sees every signal at its default.
// Returns its wait status, or -1 (logged) when the shell cannot be started.
int platform_run(const std::string& command);

enum platform_read_result {
    PLATFORM_READ_OK = 0,
    PLATFORM_READ_NOT_STARTED = -1, // logged
    PLATFORM_READ_TIMED_OUT = -2,   // the program and its process group were killed (logged)
    PLATFORM_READ_REFUSED = -3,     // `sink` returned false; the program was killed
    PLATFORM_READ_STOPPED = -4,     // `stopping` returned true; killed as on a time-out
};

// Runs `command` as platform_run does, in a process group of its own, with its standard output
// readable, and hands every piece of output to `sink` until the command closes it, within
// `limit_secs` seconds of the clock above. `stopping` is asked a few times a second whether the
// caller still wants the output.
platform_read_result platform_read_output(const std::string& command, int limit_secs,
                                          const std::function<bool(const char*, size_t)>& sink,
                                          const std::function<bool()>& stopping);
