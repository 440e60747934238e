#include "handlers.h"

#include "agent.h"
#include "log.h"
#include "miner/status.h"
#include "miner/support.h"
#include "platform.h"
#include "upload.h"
#include "util.h"

#include <new>
#include <string>

namespace {

const char* const KERNEL_LOG_SCRIPT = "/www/pages/cgi-bin/get_kernel_log.cgi";
constexpr size_t LOG_GROWTH = 4096;
// Longest run of the kernel log script before the request fails.
constexpr int KERNEL_LOG_LIMIT_SECS = 30;

// Set by an "auth" reply that announces the device's first registration; cleared by the
// server's answer to the configuration upload. Main thread only.
bool registration = false;

// The failure reply of a log request; its type is "get_logs", not "logs".
int send_logs_failure(const char* request_id, const char* reason) {
    LOG_ERROR("%s", reason);
    return agent_enqueue_message(
        json_ptr(json_pack("{s:s, s:s, s:b, s:s}", "type", "get_logs", "request_id", request_id,
                           "ok", false, "message", reason)));
}

} // namespace

int agent_auth(json_t* message, json_t* ok, agent_vhd* vhd, agent_psd* psd) {
    agent_conn_abort_cancel();
    if (!json_is_true(ok)) {
        const char* text = json_string_value(json_object_get(message, "message"));
        LOG_WARN("Authentication failed: \n%s",
                 text != nullptr ? log_escape_lines(text).c_str() : "(no reason given)");
        psd->auth = STATE_UNAUTHENTICATED;
        return -1;
    }
    LOG_INFO("Agent successfully authenticated");
    psd->auth = STATE_AUTHENTICATED;
    vhd->state->authenticated = true;
    // Messages queued while authenticating go out now.
    lws_callback_on_writable(psd->wsi);

    const bool held = registration;
    registration = json_is_true(json_object_get(message, "registration"));
    if (registration) {
        status_disalbe_reporting();
        return upload_miner_config();
    }
    if (held) {
        // The earlier session ended before the server answered its upload, and this one is
        // not a registration: no answer will come, so the hold must not outlive it.
        LOG_INFO("Registration hold of an earlier session ended");
        status_enable_reporting();
    }
    // One upload however many changes the server missed, and -u adds none to it.
    if (agent_take_upload_on_start() || upload_owed()) {
        upload_miner_config();
    }
    status_report_now();
    return 0;
}

int agent_update_config(json_t*, json_t* ok) {
    LOG_INFO(json_is_true(ok) ? "Successfully update config on the server"
                              : "Update config failed");
    if (registration) {
        status_enable_reporting();
        status_report_now();
        registration = false;
    }
    return 0;
}

int agent_report_status(json_t*) {
    return 0;
}

void hard_reboot() {
    platform_run("sync");
    platform_run("reboot");
}

int agent_reboot_asic(json_t*) {
    LOG_INFO("Rebooting asic, mode = %s", "hard");
    hard_reboot();
    return 0;
}

int agent_get_systemlogs(json_t* message) {
    const char* request_id = nullptr;
    json_error_t error;
    if (json_unpack_ex(message, &error, 0, "{s:s}", "request_id", &request_id) != 0) {
        c_text text(json_dumps(message, JSON_INDENT(2)));
        LOG_ERROR("Failed to parse get logs request:\n%s",
                  text ? log_escape_lines(text.get()).c_str() : "");
        return -1;
    }
    miner_send_logs(request_id);
    return 0;
}

int miner_send_logs(const char* request_id) {
    if (!agent_is_connected()) {
        return -1;
    }
    std::string logs;
    size_t capacity = 0;
    bool out_of_memory = false;
    auto collect = [&](const char* piece, size_t length) {
        if (logs.size() + length + 1 > capacity) {
            try {
                logs.reserve(capacity + LOG_GROWTH);
            } catch (const std::bad_alloc&) {
                out_of_memory = true;
                return false;
            }
            capacity += LOG_GROWTH; // pieces are at most 4096 bytes: one step suffices
        }
        logs.append(piece, length);
        return true;
    };
    // Bounded: the script runs on the thread that serves the session, and a hung one would
    // stall the session for good, or a stop of the agent for the whole limit.
    switch (platform_read_output("sh " + platform_shell_path(KERNEL_LOG_SCRIPT),
                                 KERNEL_LOG_LIMIT_SECS, collect, agent_is_stopping)) {
    case PLATFORM_READ_OK:
        break;
    case PLATFORM_READ_STOPPED:
        return -1; // nobody waits for the reply
    case PLATFORM_READ_REFUSED:
        if (out_of_memory) {
            return send_logs_failure(request_id,
                                     "Unable to allocate memory for storing log messages");
        }
        [[fallthrough]];
    default:
        return send_logs_failure(request_id, "Fetching logs failed");
    }
    json_ptr text = json_string_lossy(logs);
    json_ptr reply(text ? json_pack("{s:s, s:s, s:o}", "type", "logs", "request_id", request_id,
                                    "logs", text.release())
                        : nullptr);
    if (!reply) {
        return send_logs_failure(request_id, "Failed to encode logs response");
    }
    return agent_enqueue_message(std::move(reply));
}

int agent_start_mining(json_t*) {
    return cgminer_start();
}

int agent_stop_mining(json_t*) {
    return cgminer_stop();
}
