// The one place where the agent meets the operating system's fixed names: absolute paths,
// the network interface, the daemon's API port and the shell. The production agent uses
// them as they are; the sandbox relocates every path under a root directory.
#pragma once

#include "handles.h"

#include <string>

// Points every fixed path under `root` ("" for the real file system) and names the
// interface and daemon port to use.
void platform_configure(const std::string& root, const std::string& iface, int api_port);

// Back to the production defaults: no root, "eth0", 4028.
void platform_reset();

// The real location of one of the system's fixed absolute paths, such as "/config".
std::string platform_path(const std::string& path);

const std::string& platform_root();
const std::string& platform_iface();
int platform_api_port();

// Runs a command through the system shell and waits for it; returns system()'s status.
int platform_run(const std::string& command);

// Starts a command through the system shell with its output readable from the stream.
pipe_ptr platform_popen(const std::string& command);
