// The connection lifecycle: every libwebsockets event of the one server connection, the
// connection attempts with their backoff, and the timer that drops a connection whose
// authentication is never answered.
#include "protocol.h"

#include "agent.h"
#include "log.h"
#include "upload.h"

#include <cstring>
#include <new>

namespace {

const uint32_t backoff_ms[] = {0, 5000, 10000, 30000, 60000};

// Serves as the connection's idle policy and as the reconnect schedule.
const lws_retry_bo_t retry = {
    .retry_ms_table = backoff_ms,
    .retry_ms_table_count = LWS_ARRAY_SIZE(backoff_ms),
    .conceal_count = LWS_RETRY_CONCEAL_ALWAYS,
    .secs_since_valid_ping = 20,
    .secs_since_valid_hangup = 30,
    .jitter_percent = 20,
};

std::mutex conn_lock;
agent_vhd* live_vhd = nullptr; // guarded by conn_lock; set at protocol start, cleared at its end
agent_psd* live_psd = nullptr; // guarded by conn_lock; written only on the main thread

void connection_established(lws* wsi, agent_psd* psd) {
    new (psd) agent_psd{};
    psd->established = true;
    psd->wsi = wsi;
    psd->auth = STATE_UNAUTHENTICATED;
    out_msgs_create(psd);
    inc_msg_reset(psd);
    {
        std::lock_guard lock(conn_lock);
        live_psd = psd;
    }
    lws_callback_on_writable(wsi);
}

// The connection failed or closed: stop the loop when a stop was asked for, else try again.
void connection_gone(agent_vhd* vhd) {
    agent_state& state = *vhd->state;
    state.connected = false;
    state.authenticated = false;
    if (state.interrupt) {
        state.running = false;
    } else {
        reconnect_agent(vhd);
    }
}

void connection_closed(agent_vhd* vhd, agent_psd* psd) {
    if (psd != nullptr && psd->established) {
        std::lock_guard lock(conn_lock);
        out_msgs_destroy(psd);
        if (live_psd == psd) {
            live_psd = nullptr;
        }
        psd->~agent_psd();
        memset(static_cast<void*>(psd), 0, sizeof(*psd));
        upload_session_ended();
    }
    connection_gone(vhd);
}

// The wake-up after lws_cancel_service: a stop request, or messages queued by other threads.
void wait_cancelled(agent_vhd* vhd) {
    agent_state& state = *vhd->state;
    agent_psd* psd = live_psd; // the main thread is its only writer
    if (state.interrupt) {
        if (state.connected && psd != nullptr) {
            lws_callback_on_writable(psd->wsi);
        } else {
            state.running = false;
        }
        return;
    }
    if (psd != nullptr && out_msgs_waiting(psd)) {
        lws_callback_on_writable(psd->wsi);
    }
}

int protocol_init(lws* wsi, void* in) {
    lws_vhost* vhost = lws_get_vhost(wsi);
    const lws_protocols* proto = lws_get_protocol(wsi);
    auto* vhd =
        static_cast<agent_vhd*>(lws_protocol_vh_priv_zalloc(vhost, proto, sizeof(agent_vhd)));
    if (vhd == nullptr) {
        LOG_ERROR("Failed to initialize protocol vhd");
        return -1;
    }
    std::lock_guard lock(conn_lock);
    live_vhd = vhd;
    vhd->context = lws_get_context(wsi);
    vhd->vhost = vhost;
    vhd->proto = proto;
    const lws_protocol_vhost_options* pvo =
        lws_pvo_search(static_cast<const lws_protocol_vhost_options*>(in), "state");
    if (pvo == nullptr) {
        LOG_ERROR("Failed to initialize protocol vhd: no agent state");
        return -1;
    }
    // The option's value is the address of the agent state, not a text.
    vhd->state = reinterpret_cast<agent_state*>(const_cast<char*>(pvo->value));
    vhd->retry = 0;
    lws_sul_schedule(vhd->context, 0, &vhd->sul, connect_agent, 1);
    return 0;
}

} // namespace

std::mutex& conn_mutex() {
    return conn_lock;
}

agent_vhd* session_vhd() {
    return live_vhd;
}

agent_psd* session_psd() {
    return live_psd;
}

void connect_agent(lws_sorted_usec_list_t* sul) {
    agent_vhd* vhd = lws_container_of(sul, agent_vhd, sul);
    const url_info& server = vhd->state->server;

    lws_client_connect_info info{};
    info.context = vhd->context;
    info.address = server.host;
    info.port = server.port;
    info.ssl_connection = LCCSCF_USE_SSL | LCCSCF_ALLOW_SELFSIGNED | LCCSCF_ALLOW_EXPIRED;
    info.path = server.path;
    info.host = server.host;
    info.origin = nullptr;
    info.protocol = "corvane-agent";
    info.ietf_version_or_minus_one = -1;
    info.retry_and_idle_policy = &retry;

    if (lws_client_connect_via_info(&info) == nullptr) {
        LOG_ERROR("Failed to create lws connection");
        if (lws_retry_sul_schedule(vhd->context, 0, &vhd->sul, &retry, connect_agent,
                                   &vhd->retry) != 0) {
            LOG_INFO("[connect_client]: connection attempts exhausted");
            vhd->state->interrupt = true;
        }
    }
}

void reconnect_agent(agent_vhd* vhd) {
    LOG_INFO("Trying agent reconnect %d", vhd->retry + 1);
    agent_conn_abort_cancel();
    if (lws_retry_sul_schedule(vhd->context, 0, &vhd->sul, &retry, connect_agent, &vhd->retry) !=
        0) {
        LOG_ERROR("[reconnect_agent]: connection attempts exhausted\n");
        vhd->state->interrupt = true;
    }
}

void agent_conn_abort_after(int secs) {
    std::lock_guard lock(conn_lock);
    if (live_psd == nullptr) {
        LOG_WARN("Conn abort timer can't be started, no active connections");
        return;
    }
    live_psd->abort_on_timeout = true;
    lws_set_timer_usecs(live_psd->wsi, static_cast<lws_usec_t>(secs * 1000000.0));
}

void agent_conn_abort_cancel() {
    std::lock_guard lock(conn_lock);
    if (live_psd == nullptr) {
        LOG_WARN("Conn abort timer can't be stopped, no active connections");
        return;
    }
    live_psd->abort_on_timeout = false;
    lws_set_timer_usecs(live_psd->wsi, LWS_SET_TIMER_USEC_CANCEL);
}

int agent_proto_callback(lws* wsi, lws_callback_reasons reason, void* user, void* in, size_t len) {
    auto* vhd = static_cast<agent_vhd*>(
        lws_protocol_vh_priv_get(lws_get_vhost(wsi), lws_get_protocol(wsi)));
    auto* psd = static_cast<agent_psd*>(user);

    switch (reason) {
    case LWS_CALLBACK_PROTOCOL_INIT:
        return protocol_init(wsi, in);

    case LWS_CALLBACK_PROTOCOL_DESTROY: {
        // The context frees the vhost data; nobody may wake a context that is gone.
        std::lock_guard lock(conn_lock);
        live_vhd = nullptr;
        return 0;
    }

    case LWS_CALLBACK_CLIENT_ESTABLISHED:
        vhd->state->connected = true;
        connection_established(wsi, psd);
        return 0;

    case LWS_CALLBACK_CLIENT_CONNECTION_ERROR:
        // The library's text may quote what the server answered.
        LOG_WARN("Agent connection error - %s",
                 in != nullptr ? log_escape(static_cast<const char*>(in)).c_str() : "(null)");
        connection_gone(vhd);
        return 0;

    case LWS_CALLBACK_CLIENT_RECEIVE:
        if (lws_is_first_fragment(wsi)) {
            inc_msg_reset(psd);
        }
        inc_msg_append_fragment(in, len, psd);
        if (!lws_is_final_fragment(wsi) || lws_remaining_packet_payload(wsi) > 0) {
            return 0;
        }
        if (process_incomming_packets(vhd, psd) != 0) {
            return -1;
        }
        inc_msg_reset(psd);
        return 0;

    case LWS_CALLBACK_CLIENT_WRITEABLE:
        return process_outgoing_packets(vhd, psd);

    case LWS_CALLBACK_EVENT_WAIT_CANCELLED:
        if (vhd != nullptr) {
            wait_cancelled(vhd);
        }
        return 0;

    case LWS_CALLBACK_TIMER:
        if (psd != nullptr && psd->abort_on_timeout) {
            LOG_WARN("Aborting agent connection on timeout");
            psd->abort_on_timeout = false;
            return -1;
        }
        return 0;

    case LWS_CALLBACK_CLIENT_CLOSED:
        connection_closed(vhd, psd);
        return 0;

    default:
        return 0;
    }
}
