// Metrics reporting: a thread that sends a "metrics" message every 10 s.
#pragma once

#include "handles.h"
#include "miner/collect.h"

int metrics_start();
int metrics_stop();

// Builds the "metrics" message from a snapshot and queues it; the queue's result, or -1 when
// the message cannot be built. Any thread.
int metrics_send(const cv_metrics& metrics);
json_ptr build_metrics_message(const cv_metrics& metrics);
