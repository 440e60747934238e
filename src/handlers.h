// Handlers of the server's commands. They run on the main thread inside the receive
// callback, one message at a time; the message belongs to the dispatcher. Results: 0 (or
// positive) for success, negative for failure.
#pragma once

#include "protocol.h"

#include <jansson.h>

// Authentication and control.
int agent_auth(json_t* message, json_t* ok, agent_vhd* vhd, agent_psd* psd);
int agent_update_config(json_t* message, json_t* ok);
int agent_report_status(json_t* message);
int agent_reboot_asic(json_t* message);
void hard_reboot();
int agent_get_systemlogs(json_t* message);
int miner_send_logs(const char* request_id);
int agent_start_mining(json_t* message);
int agent_stop_mining(json_t* message);

// Configuration, network and chip commands.
int agent_config_all(json_t* message, json_t* ok);
int agent_config_network(json_t* message);
int agent_config_pools(json_t* message);
int agent_config_web_access(json_t* message);
int agent_config_fans(json_t* message);
int agent_config_watchdog(json_t* message);
int agent_config_perf(json_t* message);
int agent_config_autotuner(json_t* message);
int agent_config_chain(json_t* message);
int agent_report_chip_metrics(json_t* message);

// The network section of "config": 1 settings file rewritten, 0 already so, -1 refused.
int config_network(json_t* payload);
