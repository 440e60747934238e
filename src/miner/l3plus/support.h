// Antminer L3+ settings operations: the setters that change the shared record of a change
// transaction, the per-chip lookups used by the chip metrics, and the configuration snapshot
// sent to the server.
#pragma once

#include "handles.h"
#include "miner/config.h"
#include "miner/l3plus/config.h"

#include <jansson.h>

#include <cstdint>

// Setters: 1 stored a different value (and marked the transaction changed), 0 already so,
// -1 refused (logged): no transaction open, or chain / chip out of range.
int cgminer_chain_freq(uint8_t chain, uint16_t freq);
int cgminer_chain_volt(uint8_t chain, double volt);
int cgminer_chip_freq(uint8_t chain, uint8_t chip, uint16_t freq);
int cgminer_fans(fan_modes mode, int32_t speed, int32_t target_temp, bool silent_start);
int cgminer_perf_profile(const char* name);
int cgminer_global_freq(uint16_t freq);
int cgminer_global_volt(double volt);
int cgminer_watchdog(int32_t min_hr, int32_t max_xchips, int32_t max_temp);
int cgminer_autotuner(bool stage1, bool stage2, bool stage3, int32_t stage3_interval,
                      int32_t downclock_step, uint16_t min_freq, int32_t hashrate_deviation,
                      int32_t test_time, int32_t down_freq_hw, bool reset_chips);
// Clears every chip frequency of the shared record; the caller marks the change.
void reset_all_chips();

// Per-chip lookups on a record of the caller's; chain must be one of CHAIN_IDS, chip 1..72.
bool chip_custom_freq(int32_t chain, int32_t chip, const miner_config& config);
uint16_t chip_freq(int32_t chain, int32_t chip, const miner_config& config);
// From the "chiphr" array of the firmware's chip hash-rate dump (may be null): 0.0 when absent.
double chip_hashrate(int32_t chain, int32_t chip, json_t* chiphr);

// Performance profiles "0".."12".
struct perf_profile_name {
    uint8_t id;
    const char* name;
};
const char* profile_id_to_profile(uint8_t id);
uint8_t profile_to_profile_id(const char* name);

// The snapshot {"pools", "fans", "perf", "chains", "autotuner", "watchdog"} of the daemon's
// configuration file, or null (logged) when it cannot be loaded. Refreshes miner_is_auto_tune.
json_ptr cgminer_config();

// Autotuner stage 1 or 2 enabled at the last snapshot or autotuner change. Any thread.
bool miner_is_auto_tune();
void miner_set_auto_tune(bool on);
