// Status reporting: a thread that refreshes the miner's picture every 5 s and sends "status"
// on a state change, on request, and at least every 30 s.
#pragma once

#include "miner/collect.h"

int status_start_reporting();
int status_stop_reporting();

// Asks for a report at the next cycle and wakes the thread. Any thread.
int status_report_now();

// While disabled (the server's registration hold) no status message is built or sent.
void status_disalbe_reporting();
void status_enable_reporting();

// The words the server knows for miner and pool states.
const char* translate_miner_state(miner_states state);
const char* translate_pool_status(cv_pool_status status);
