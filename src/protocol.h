// The server session: the connection callback, the outgoing queue, incoming assembly and
// dispatch. Only the main thread touches the connection; other threads use the two
// agent_enqueue_ operations, which hand the message to the live connection's queue and wake
// the service loop.
#pragma once

#include "handles.h"

#include <libwebsockets.h>

#include <cstdint>
#include <mutex>

struct agent_state;

enum auth_states {
    STATE_UNAUTHENTICATED = 0,
    STATE_AUTH_MSG_SENT = 1,
    STATE_AUTHENTICATED = 2,
};

// One queue element. It lives inside the C ring, so it owns its message by hand: the ring's
// element destructor releases it.
struct outgoing_message {
    json_t* root;
    // Close (and so re-open) the connection once this message has been sent.
    bool reconnect;
    uint32_t upload; // a configuration upload's number, told to the upload once it left; or 0
};

constexpr size_t IN_MSG_SIZE = 16384;
constexpr unsigned OUT_MSGS_COUNT = 1024;

// Per-vhost data, allocated zeroed by libwebsockets for the life of the context.
struct agent_vhd {
    lws_context* context;
    lws_vhost* vhost;
    const lws_protocols* proto;
    agent_state* state;
    lws_sorted_usec_list_t sul; // runs connect_agent
    uint16_t retry;             // index into the backoff table
};

// Per-connection data. libwebsockets allocates the storage; it is constructed when the
// connection is established and destroyed when it closes.
struct agent_psd {
    lws* wsi;
    auth_states auth;
    char in_msg[IN_MSG_SIZE];
    size_t in_msg_len;
    bool skip_in_msg;   // the message being assembled did not fit; ignore the rest of it
    lws_ring* out_msgs; // guarded by msgs_lock
    uint32_t tail;      // guarded by msgs_lock
    std::mutex msgs_lock;
    bool abort_on_timeout;
    bool established; // constructed; cleared by destruction
};

// Connection lifecycle.
int agent_proto_callback(lws* wsi, lws_callback_reasons reason, void* user, void* in, size_t len);
void connect_agent(lws_sorted_usec_list_t* sul);
void reconnect_agent(agent_vhd* vhd);
void agent_conn_abort_after(int secs);
void agent_conn_abort_cancel();

// Queues a message for the live connection; the queue owns it whatever the result.
// Returns 0 queued, -1 dropped (queue full), -2 no live connection. `upload` numbers a
// configuration upload (see outgoing_message). Any thread.
int agent_enqueue_message(json_ptr message, uint32_t upload = 0);

// Queues the result reply {"type": type, "ok": result == 0}. Same results. Any thread.
int agent_enqueue_result(int result, const char* type);

// Outgoing queue of one connection (main thread, or under conn_mutex).
int enqueue_message(json_ptr message, agent_psd* psd, bool reconnect, uint32_t upload = 0);
int enqueue_result_rec(int result, const char* type, agent_psd* psd, bool reconnect);
int enqueue_result(int result, const char* type, agent_psd* psd);
int enqueue_ok_resonse(const char* type, agent_psd* psd);
int enqueue_err_response(const char* type, agent_psd* psd);
void out_msgs_create(agent_psd* psd);
void out_msgs_destroy(agent_psd* psd);
bool out_msgs_waiting(agent_psd* psd);

// Writing (main thread, writable callback).
int send_message(json_t* root, lws* wsi);
int send_auth_request(agent_psd* psd);
int process_outgoing_packets(agent_vhd* vhd, agent_psd* psd);

// Incoming assembly and dispatch (main thread, receive callback).
int inc_msg_append_fragment(const void* data, size_t len, agent_psd* psd);
void inc_msg_reset(agent_psd* psd);
int process_incomming_packets(agent_vhd* vhd, agent_psd* psd);
int process_message(const char* type, json_t* ok, json_t* message, agent_vhd* vhd, agent_psd* psd);

// The session's view of the agent: the live vhost data and connection, under conn_mutex.
std::mutex& conn_mutex();
agent_vhd* session_vhd();
agent_psd* session_psd();
