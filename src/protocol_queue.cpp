// The outgoing side of the session: a bounded queue per connection that any thread may fill,
// and the write handler that sends one queued message per writable callback.
#include "protocol.h"

#include "agent.h"
#include "log.h"
#include "miner/firmware.h"
#include "upload.h"

#include <cstring>
#include <memory>

namespace {

const char* const MODEL = "antminer-l3plus";

void destroy_outgoing_message(void* element) {
    auto* message = static_cast<outgoing_message*>(element);
    json_decref(message->root);
    message->root = nullptr;
}

void wake_service_loop() {
    agent_vhd* vhd = session_vhd();
    if (vhd != nullptr) {
        lws_cancel_service(vhd->context);
    }
}

json_ptr result_reply(int result, const char* type) {
    return json_ptr(json_pack("{s:s, s:b}", "type", type, "ok", result == 0));
}

} // namespace

void out_msgs_create(agent_psd* psd) {
    std::lock_guard lock(psd->msgs_lock);
    psd->out_msgs =
        lws_ring_create(sizeof(outgoing_message), OUT_MSGS_COUNT, destroy_outgoing_message);
    psd->tail = 0;
}

void out_msgs_destroy(agent_psd* psd) {
    std::lock_guard lock(psd->msgs_lock);
    if (psd->out_msgs != nullptr) {
        lws_ring_destroy(psd->out_msgs); // releases every message still queued
    }
    psd->out_msgs = nullptr;
    psd->tail = 0;
}

bool out_msgs_waiting(agent_psd* psd) {
    std::lock_guard lock(psd->msgs_lock);
    return psd->out_msgs != nullptr &&
           lws_ring_get_count_waiting_elements(psd->out_msgs, &psd->tail) > 0;
}

int enqueue_message(json_ptr message, agent_psd* psd, bool reconnect, uint32_t upload) {
    int result = 0;
    {
        std::lock_guard lock(psd->msgs_lock);
        if (psd->out_msgs == nullptr || lws_ring_get_count_free_elements(psd->out_msgs) == 0) {
            LOG_WARN("Dropping message, no free elements in out_msgs buffer");
            result = -1;
        } else {
            outgoing_message element{message.get(), reconnect, upload};
            if (lws_ring_insert(psd->out_msgs, &element, 1) != 1) {
                LOG_ERROR("Failed to enqueue outgoing message");
                result = -1;
            } else {
                message.release(); // the ring owns it now
            }
        }
    }
    wake_service_loop();
    return result;
}

int enqueue_result_rec(int result, const char* type, agent_psd* psd, bool reconnect) {
    return enqueue_message(result_reply(result, type), psd, reconnect);
}

int enqueue_result(int result, const char* type, agent_psd* psd) {
    return enqueue_result_rec(result, type, psd, false);
}

int enqueue_ok_resonse(const char* type, agent_psd* psd) {
    return enqueue_result(0, type, psd);
}

int enqueue_err_response(const char* type, agent_psd* psd) {
    return enqueue_result(-1, type, psd);
}

int agent_enqueue_message(json_ptr message, uint32_t upload) {
    std::lock_guard lock(conn_mutex());
    agent_psd* psd = session_psd();
    if (psd == nullptr) {
        return -2;
    }
    return enqueue_message(std::move(message), psd, false, upload);
}

int agent_enqueue_result(int result, const char* type) {
    std::lock_guard lock(conn_mutex());
    agent_psd* psd = session_psd();
    if (psd == nullptr) {
        return -2;
    }
    return enqueue_result(result, type, psd);
}

int send_message(json_t* root, lws* wsi) {
    c_text text(json_dumps(root, JSON_INDENT(2) | JSON_REAL_PRECISION(10)));
    if (!text) {
        LOG_WARN("Failed to serialize JSON message");
        return -1;
    }
    size_t length = strlen(text.get());
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[LWS_PRE + length]);
    memcpy(buffer.get() + LWS_PRE, text.get(), length);
    int sent = lws_write(wsi, buffer.get() + LWS_PRE, length, LWS_WRITE_TEXT);
    if (sent < 0 || static_cast<size_t>(sent) != length) {
        LOG_ERROR("Failed to send complete message (len = %zu, sent = %zu)", length,
                  static_cast<size_t>(sent < 0 ? 0 : sent));
        return -1;
    }
    return 0;
}

int send_auth_request(agent_psd* psd) {
    const struct agent_config& config = agent_config();
    json_ptr request(json_pack("{s:s, s:s, s:s, s:s, s:s, s:s}", "type", "auth", "api_key",
                               config.api_key, "device_id", config.dev_id, "model", MODEL,
                               "firmware_id", firmware_name(), "firmware_ver", firmware_version()));
    if (!request) {
        LOG_ERROR("Failed to build the auth request");
        return -1;
    }
    return send_message(request.get(), psd->wsi);
}

int process_outgoing_packets(agent_vhd* vhd, agent_psd* psd) {
    if (vhd->state->interrupt) {
        lws_close_reason(psd->wsi, LWS_CLOSE_STATUS_NORMAL, nullptr, 0);
        return -1;
    }
    if (psd->auth == STATE_UNAUTHENTICATED) {
        agent_conn_abort_after(60);
        send_auth_request(psd); // a failure is logged; the abort timer ends the connection
        psd->auth = STATE_AUTH_MSG_SENT;
        return 0;
    }
    if (psd->auth != STATE_AUTHENTICATED) {
        return 0;
    }
    vhd->retry = 0;
    bool reconnect = false;
    uint32_t upload = 0;
    {
        std::lock_guard lock(psd->msgs_lock);
        const auto* element =
            static_cast<const outgoing_message*>(lws_ring_get_element(psd->out_msgs, &psd->tail));
        if (element != nullptr) {
            reconnect = element->reconnect;
            // A failure is logged and never retried; an upload that failed stays owed.
            if (send_message(element->root, psd->wsi) == 0) {
                upload = element->upload;
            }
            lws_ring_consume_single_tail(psd->out_msgs, &psd->tail, 1);
        }
        if (lws_ring_get_count_waiting_elements(psd->out_msgs, &psd->tail) > 0) {
            lws_callback_on_writable(psd->wsi);
        }
    }
    if (upload != 0) {
        upload_sent(upload);
    }
    return reconnect ? -1 : 0;
}
