// Handlers of the server's commands. They run on the main thread inside the receive
// callback, one message at a time; the message belongs to the dispatcher. Results: 0 (or
// positive) for success, negative for failure.
#pragma once

#include "miner/collect.h"
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

// Section readers of the configuration commands. Except for the network, they run inside an
// open change bracket and report 1 (a setter changed something), 0 (nothing changed) or -1
// (refused, logged); config_pools reports 0 for success.
int config_network(json_t* payload);
int config_pool(int slot, json_t* pool);
int config_pools(json_t* payload);
int config_chain(json_t* payload);
int config_chains(json_t* chains);
int config_chips(int32_t chain, json_t* chips);
int config_watchdog(json_t* payload);

// The change bracket around the daemon's configuration file: begin loads it (0, or -1); end
// stores it when something changed and then restarts a running daemon in the background
// (1 stored, 0 nothing to store, -1 the store failed). The label names the section for the
// reader of the code only.
int begin_miner_config();
int end_miner_config(const char* label);

// The chip metrics reply.
const char* chip_state_name(cv_chip_state state);
json_ptr serialize_chip_info(const cv_chip_info& chip);
json_ptr serialize_chip_metrics(const cv_chip_metrics& metrics);
