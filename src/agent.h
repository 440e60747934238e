// The agent process: start-up, command line, process-wide state.
#pragma once

#include "config.h"
#include "util.h"

#include <atomic>

#define AGENT_VERSION CVAGENT_VERSION

struct agent_state {
    url_info server;
    agent_config config;
    // Written on the main thread, read on others.
    std::atomic<bool> running;
    std::atomic<bool> connected;
    std::atomic<bool> authenticated;
    std::atomic<bool> interrupt;
};

// The agent's entry point, shared by the production and the sandbox executables.
int agent_main(int argc, char** argv);

void parse_options(int argc, char** argv);
void agent_run_loop();
[[noreturn]] void display_usage();

// The loaded configuration. The accessor deliberately shares the record's name; after this
// declaration the type is spelt `struct agent_config`.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wshadow"
struct agent_config& agent_config();
#pragma GCC diagnostic pop

// Sets `interrupt` and wakes the service loop. Safe in a signal handler.
void agent_stop();

// True once, after start-up with -u: the first authentication also uploads the configuration.
bool agent_take_upload_on_start();
bool agent_is_connected();
bool agent_is_authenticated();
// True once a stop was requested.
bool agent_is_stopping();
