// The incoming side of the session: fragments gathered into one message, then classified
// and dispatched to the command handlers, whose replies go through the outgoing queue.
#include "protocol.h"

#include "handlers.h"
#include "log.h"

#include <cstring>
#include <string_view>

namespace {

// What the dispatcher sends back after a handler.
enum class reply_kind {
    NONE,         // nothing, whatever the result
    RESULT,       // {"type", "ok": result == 0}
    FAILURE_ONLY, // {"type", "ok": false} when the result is not 0; the handler answers otherwise
    NETWORK,      // "ok" for results >= 0; reconnect after the reply when the result is 1
};

// One of the two handlers is set: most read the message alone, "config" and
// "update_config" also the server's verdict "ok".
struct command {
    const char* type;
    int (*handler)(json_t* message);
    int (*handler_ok)(json_t* message, json_t* ok);
    reply_kind reply;
};

// Every command the server may send except "auth", which needs the connection itself.
const command commands[] = {
    {"config", nullptr, agent_config_all, reply_kind::NONE},
    {"update_config", nullptr, agent_update_config, reply_kind::NONE},
    {"status", agent_report_status, nullptr, reply_kind::NONE},
    {"reboot", agent_reboot_asic, nullptr, reply_kind::RESULT},
    {"logs", agent_get_systemlogs, nullptr, reply_kind::FAILURE_ONLY},
    {"start_mining", agent_start_mining, nullptr, reply_kind::RESULT},
    {"stop_mining", agent_stop_mining, nullptr, reply_kind::RESULT},
    {"config_network", agent_config_network, nullptr, reply_kind::NETWORK},
    {"config_pools", agent_config_pools, nullptr, reply_kind::RESULT},
    {"config_web_access", agent_config_web_access, nullptr, reply_kind::RESULT},
    {"config_fans", agent_config_fans, nullptr, reply_kind::RESULT},
    {"config_watchdog", agent_config_watchdog, nullptr, reply_kind::RESULT},
    {"config_perf", agent_config_perf, nullptr, reply_kind::RESULT},
    {"config_autotuner", agent_config_autotuner, nullptr, reply_kind::RESULT},
    {"config_chain", agent_config_chain, nullptr, reply_kind::RESULT},
    {"chip_metrics", agent_report_chip_metrics, nullptr, reply_kind::FAILURE_ONLY},
};

void send_reply(const command& cmd, int result, agent_psd* psd) {
    switch (cmd.reply) {
    case reply_kind::NONE:
        break;
    case reply_kind::RESULT:
        enqueue_result(result, cmd.type, psd);
        break;
    case reply_kind::FAILURE_ONLY:
        if (result != 0) {
            enqueue_err_response(cmd.type, psd);
        }
        break;
    case reply_kind::NETWORK:
        enqueue_result_rec(result >= 0 ? 0 : -1, cmd.type, psd, result == 1);
        break;
    }
}

} // namespace

void inc_msg_reset(agent_psd* psd) {
    psd->in_msg_len = 0;
    psd->in_msg[0] = '\0';
    psd->skip_in_msg = false;
}

int inc_msg_append_fragment(const void* data, size_t len, agent_psd* psd) {
    if (psd->skip_in_msg) {
        return -1;
    }
    if (psd->in_msg_len + len > IN_MSG_SIZE - 1) {
        LOG_ERROR("Unable to compose the incomming message, buffer too small");
        psd->skip_in_msg = true;
        return -1;
    }
    memcpy(psd->in_msg + psd->in_msg_len, data, len);
    psd->in_msg_len += len;
    psd->in_msg[psd->in_msg_len] = '\0';
    return 0;
}

int process_message(const char* type, json_t* ok, json_t* message, agent_vhd* vhd, agent_psd* psd) {
    if (strcmp(type, "auth") == 0) {
        return agent_auth(message, ok, vhd, psd) < 0 ? -1 : 0;
    }
    for (const command& cmd : commands) {
        if (strcmp(type, cmd.type) == 0) {
            int result =
                cmd.handler != nullptr ? cmd.handler(message) : cmd.handler_ok(message, ok);
            send_reply(cmd, result, psd);
            return 0;
        }
    }
    if (strcmp(type, "update_firmware") == 0) {
        LOG_WARN("Firmware update not supported");
    } else {
        LOG_WARN("Unknown message received: %s", log_escape(type).c_str());
    }
    return 0;
}

int process_incomming_packets(agent_vhd* vhd, agent_psd* psd) {
    if (psd->skip_in_msg || psd->in_msg_len == 0) {
        return 0; // an oversized message is dropped; the connection stays
    }
    json_error_t error;
    json_ptr root(json_loadb(psd->in_msg, psd->in_msg_len, 0, &error));
    if (!root) {
        // The parser's text quotes the input near the fault.
        LOG_WARN("Failed to decode msg - %s", log_escape(error.text).c_str());
        return -1;
    }
    if (!json_is_object(root.get())) {
        LOG_WARN("Root element must be an object");
        return -1;
    }
    json_t* type = json_object_get(root.get(), "type");
    json_t* ok = json_object_get(root.get(), "ok");
    // A "type" that is not a text counts as missing.
    if (!json_is_string(type)) {
        type = nullptr;
    }
    if (type == nullptr && ok != nullptr) {
        const char* text = json_string_value(json_object_get(root.get(), "message"));
        LOG_WARN("Error message received - %s",
                 text != nullptr ? log_escape(text).c_str() : "(null)");
        return 0;
    }
    if (type != nullptr) {
        return process_message(json_string_value(type), ok, root.get(), vhd, psd);
    }
    LOG_WARN("Malformed message received: %s",
             log_escape(std::string_view(psd->in_msg, psd->in_msg_len)).c_str());
    return -1;
}
