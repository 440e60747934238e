#include "agent.h"

#include "log.h"
#include "platform.h"

#include <curl/curl.h>
#include <getopt.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

namespace {

const char* const DEFAULT_SERVER_URL = "wss://api.corvane.io/api/v1/ws";

agent_state state;

std::string config_path;
std::string server_url = DEFAULT_SERVER_URL;
bool upload_config_on_start = false;

const option agent_option_defs[] = {
    {"config", required_argument, nullptr, 'c'},
    {"upload", no_argument, nullptr, 'u'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

void terminate_agent(int) {
    // Only async-signal-safe work here; the main thread logs and tears down.
    const char cr = 13;
    ssize_t ignored = write(STDOUT_FILENO, &cr, 1);
    (void)ignored;
    state.interrupt = true;
}

} // namespace

struct agent_config& agent_config() {
    return state.config;
}

bool agent_is_connected() {
    return state.connected;
}

bool agent_is_authenticated() {
    return state.connected && state.authenticated;
}

void display_usage() {
    printf("Corvane agent v%s\n\n", AGENT_VERSION);
    printf("USAGE: cvagent [OPTIONS]\n");
    printf("    -c,--config <file>        Set agent config file\n");
    printf("    -u,--upload               Force upload miner config\n");
    printf("    -h                        Display this message\n");
    exit(0);
}

void parse_options(int argc, char** argv) {
    config_path = platform_path("/config/corvane.json");
    opterr = 0; // unknown options are skipped silently
    optind = 0; // start over, so the parse can be repeated
    int opt;
    while ((opt = getopt_long(argc, argv, "c:s:uh", agent_option_defs, nullptr)) != -1) {
        switch (opt) {
        case 'c':
            config_path = optarg;
            break;
        case 's':
            server_url = optarg;
            break;
        case 'u':
            upload_config_on_start = true;
            break;
        case 'h':
            display_usage();
        default:
            break;
        }
    }
}

int agent_main(int argc, char** argv) {
    if (log_init() != 0) {
        return 1;
    }
    set_thread_name("main@agent");
    signal(SIGINT, terminate_agent);
    signal(SIGTERM, terminate_agent);
    signal(SIGHUP, terminate_agent);
    srand(static_cast<unsigned>(time(nullptr) + getpid()));
    curl_global_init(CURL_GLOBAL_SSL);

    parse_options(argc, argv);
    LOG_INFO("Agent version: %s", AGENT_VERSION);

    if (agent_load_config(config_path, &state.config) != 0) {
        LOG_ERROR("Failed to load %s file", config_path.c_str());
        return 1;
    }
    LOG_INFO("API key: %s", state.config.api_key);
    LOG_INFO("Device Id: %s", state.config.dev_id);

    if (state.config.fresh_install && agent_save_config(config_path, state.config) != 0) {
        LOG_ERROR("Failed to save %s file", config_path.c_str());
        return 1;
    }

    LOG_INFO("Server URL: %s", server_url.c_str());
    if (parse_url(server_url.c_str(), &state.server) != 0) {
        LOG_ERROR("Failed to parse server url: %s", server_url.c_str());
        return 1;
    }
    LOG_INFO("Press Ctrl+C to stop agent");

    LOG_INFO("Server session not built yet: stopping after start-up");
    curl_global_cleanup();
    log_cleanup();
    return 0;
}
