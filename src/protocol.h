// The server session: the connection callback, the outgoing queue, incoming assembly and
// dispatch. Only the main thread touches the connection; other threads use the two
// agent_enqueue_ operations, which hand the message to the live connection's queue and wake
// the service loop.
#pragma once

#include "handles.h"

// Queues a message for the live connection; the queue owns it whatever the result.
// Returns 0 queued, -1 dropped (queue full), -2 no live connection. Any thread.
int agent_enqueue_message(json_ptr message);

// Queues the result reply {"type": type, "ok": result == 0}. Same results. Any thread.
int agent_enqueue_result(int result, const char* type);
