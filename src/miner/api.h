// The mining daemon's JSON API: one short-lived TCP connection per request, the whole reply
// read until the daemon closes, repaired for two defects of its output and parsed. One mutex
// serialises every exchange, so at most one connection to the daemon is open at a time.
#pragma once

#include "handles.h"

#include <cstddef>

// Longest wait for the connection, for sending the request and for the whole reply. Without
// it a daemon that accepts and never answers would stall every caller for ever.
constexpr int API_TIMEOUT_MS = 10000;

// Largest reply accepted; a healthy "stats" reply is a few KiB, so anything near this is a
// runaway daemon that must not exhaust the controller's memory.
constexpr size_t API_MAX_REPLY = 4 * 1024 * 1024;

// Talks to `host` (copied) and `port` from now on; ignored unless host is non-null and
// port > 0.
void api_set_addr(const char* host, int port);

// Replaces API_TIMEOUT_MS (tests use a short one); ignored unless ms > 0.
void api_set_timeout_ms(int ms);

// Replaces API_MAX_REPLY (tests use a small one); ignored unless bytes > 0.
void api_set_max_reply(size_t bytes);

// Back to "127.0.0.1", the platform's daemon port, API_TIMEOUT_MS and API_MAX_REPLY.
void api_reset();

// True if a connection to the daemon can be opened now; nothing is sent.
bool api_is_alive();

// Sends `request` (not consumed) and parses the reply into `reply`. Returns 0, or -1 with
// `reply` null on any failure (already logged).
int api_call(json_t* request, json_ptr* reply);
int api_call_cmd(const char* command, json_ptr* reply);
int api_call_cmd_with_parameter(const char* command, const char* parameter, json_ptr* reply);

// Ends every exchange under way and fails all later ones at once: the agent is stopping.
void api_abort_exchanges();

// Repairs a reply text ("}{" and ":inf") and parses it; null (logged) when it is not JSON.
json_ptr api_parse_reply(const char* text);
