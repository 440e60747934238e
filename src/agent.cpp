#include "agent.h"

#include "log.h"
#include "miner/api.h"
#include "miner/metrics.h"
#include "miner/status.h"
#include "miner/support.h"
#include "miner/watcher.h"
#include "platform.h"
#include "protocol.h"
#include "upload.h"

#include <curl/curl.h>
#include <getopt.h>
#include <libwebsockets.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <utility>

namespace {

const char* const DEFAULT_SERVER_URL = "wss://api.corvane.io/api/v1/ws";

agent_state state;

std::string config_path;
std::string server_url = DEFAULT_SERVER_URL;
bool upload_config_on_start = false;
std::atomic<lws_context*> context = nullptr;

// A connection that has not been up for this long means the agent is wedged.
constexpr int64_t CONNECTION_HANG_SECS = 600;

const char* const CA_FILE = "/opt/corvane/certs/letsencrypt.pem";
std::string ca_file;

const lws_protocols protocols[] = {
    {"corvane-agent", agent_proto_callback, sizeof(agent_psd), 8192, 0, nullptr, 8192},
    {nullptr, nullptr, 0, 0, 0, nullptr, 0},
};

const lws_extension extensions[] = {
    {"permessage-deflate", lws_extension_callback_pm_deflate,
     "permessage-deflate; client_no_context_takeover; client_max_window_bits"},
    {"deflate-frame", lws_extension_callback_pm_deflate, "deflate-frame"},
    {nullptr, nullptr, nullptr},
};

// The session code finds the agent state through this per-vhost option.
const lws_protocol_vhost_options pvo_state = {nullptr, nullptr, "state",
                                              reinterpret_cast<const char*>(&state)};
const lws_protocol_vhost_options pvo = {nullptr, &pvo_state, "corvane-agent", ""};

// Signals received; the main thread logs each one before the tear-down.
std::atomic<int> stop_requests = 0;

const option agent_option_defs[] = {
    {"config", required_argument, nullptr, 'c'},
    {"upload", no_argument, nullptr, 'u'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

// Signal handlers under way. The tear-down waits for none to be left: before it destroys the
// context (a handler may be waking it) and before it stops counting signals.
std::atomic<int> handlers_busy = 0;
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free &&
              std::atomic<lws_context*>::is_always_lock_free);

// Main thread only: how many of `stop_requests` have been logged.
int stops_logged = 0;

void terminate_agent(int) {
    // Only async-signal-safe work here: logging could wait on a lock that the interrupted
    // thread holds, so the main thread logs "Stopping agent" once the loop has woken.
    handlers_busy++;
    int saved_errno = errno;
    stop_requests++;
    const char cr = 13;
    ssize_t ignored = write(STDOUT_FILENO, &cr, 1);
    (void)ignored;
    agent_stop();
    errno = saved_errno;
    handlers_busy--;
}

void wait_for_handlers() {
    while (handlers_busy > 0) {
        sched_yield();
    }
}

lws_context* create_lws_context() {
    lws_set_log_level(LLL_ERR | LLL_WARN, nullptr);
    ca_file = platform_path(CA_FILE);
    lws_context_creation_info info{};
    info.options = LWS_SERVER_OPTION_DO_SSL_GLOBAL_INIT;
    info.port = CONTEXT_PORT_NO_LISTEN;
    info.protocols = protocols;
    info.pvo = &pvo;
    info.extensions = extensions;
    info.gid = static_cast<gid_t>(-1); // the library's "do not change"
    info.uid = static_cast<uid_t>(-1);
    info.user = nullptr;
    info.timeout_secs = 60;
    info.client_ssl_ca_filepath = ca_file.c_str();
    return lws_create_context(&info);
}

void destroy_lws_context() {
    lws_context* old = context.exchange(nullptr);
    // A handler that read the pointer before it was cleared may still be waking the context.
    wait_for_handlers();
    if (old != nullptr) {
        lws_context_destroy(old);
    }
}

bool wait_for_daemon_actions() {
    for (int i = 0; i < 200 && cgminer_action_in_progress(); i++) {
        usleep(50 * 1000);
    }
    return !cgminer_action_in_progress();
}

void log_stop_requests() {
    for (; stops_logged < stop_requests; stops_logged++) {
        LOG_INFO("Stopping agent");
    }
}

// Past the tear-down a signal is ignored: there is no loop left to stop, and a line logged
// after log_cleanup would be lost. Signals that came meanwhile are logged now.
void end_stop_requests() {
    for (int signo : {SIGINT, SIGTERM, SIGHUP}) {
        signal(signo, SIG_IGN);
    }
    wait_for_handlers();
    log_stop_requests();
}

} // namespace

void agent_stop() {
    // Counted before the pointer is read, so the tear-down either sees this call under way
    // and waits for it, or has already cleared the pointer.
    handlers_busy++;
    state.interrupt = true;
    lws_context* live = context;
    if (live != nullptr) {
        lws_cancel_service(live);
    }
    handlers_busy--;
}

bool agent_take_upload_on_start() {
    return std::exchange(upload_config_on_start, false);
}

namespace {

// Both files lead to the same full upload.
void handle_config_changes(const watcher_status&) {
    upload_miner_config();
}

} // namespace

void agent_run_loop() {
    context = create_lws_context();
    if (context == nullptr) {
        LOG_ERROR("Failed to create lws context");
        log_exit(1);
    }
    int64_t last_connected = platform_clock_ms() / 1000;
    state.running = true;
    state.connected = false;
    // A stop requested during start-up still counts (it is not cleared), and the wake-up it
    // could not deliver before the context existed is delivered now.
    if (state.interrupt) {
        lws_cancel_service(context);
    }

    status_start_reporting();
    metrics_start();
    watcher_start(handle_config_changes);

    while (state.running) {
        lws_service(context, 0);
        log_stop_requests();
        int64_t now = platform_clock_ms() / 1000;
        if (state.connected) {
            last_connected = now;
        } else if (now - last_connected > CONNECTION_HANG_SECS) {
            LOG_ERROR("Agent connection hands, restarting");
            // At once: the worker threads still run, and the supervisor restarts the agent.
            log_exit(1);
        }
    }
    watcher_stop();
    // A slow daemon must not hold up the stop.
    api_abort_exchanges();
    metrics_stop();
    status_stop_reporting();
    destroy_lws_context();
}

struct agent_config& agent_config() {
    return state.config;
}

bool agent_is_connected() {
    return state.connected;
}

bool agent_is_authenticated() {
    return state.connected && state.authenticated;
}

bool agent_is_stopping() {
    return state.interrupt;
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
    upload_load_record(server_url, state.config.dev_id);
    LOG_INFO("Press Ctrl+C to stop agent");

    agent_run_loop();
    curl_global_cleanup();
    // A daemon start or stop under way logs when it ends; logging stays up for it.
    bool actions_ended = wait_for_daemon_actions();
    end_stop_requests();
    if (!actions_ended) {
        LOG_WARN("Stopping while a miner start or stop is still under way");
        return 0;
    }
    log_cleanup();
    return 0;
}
