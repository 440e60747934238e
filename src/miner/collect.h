// Collection of the daemon's figures into the plain records the agent reports: a metrics
// snapshot of the machine, the pool statistics, and the per-chip conversions. Every
// collection is made afresh and returns a new record, or null when the daemon cannot be
// queried or its reply lacks what is required.
#pragma once

#include "miner/l3plus/config.h"

#include <jansson.h>

#include <cstdint>
#include <ctime>
#include <memory>

// Limits of the Antminer L3+.
constexpr int CV_MAX_FANS = 2;
constexpr int CV_MAX_SVC_FEE_POOLS = 4;

enum miner_states {
    MINER_STATE_INITIALIZING = 0,
    MINER_STATE_MINING = 1,
    MINER_STATE_AUTO_TUNING = 2,
    MINER_STATE_SHUTTING_DOWN = 3,
    MINER_STATE_STOPPED = 4,
    MINER_STATE_FAILURE = 5,
    MINER_STATE_RESTARTING = 6,
    MINER_STATE_UNKNOWN = 7,
};

struct cv_fan_stats {
    int32_t id;    // 1 or 2; 0 for a fan without data
    int32_t speed; // percent, 0 to 100
    int32_t rpm;
};

struct cv_chain_stats {
    int32_t id; // 0 for a chain whose data could not be read
    int32_t num_chips;
    double hash_rate; // the daemon's chain rate / 1000
    double freq;
    double volt;
    double watt;
    int32_t hw_errors;
    int32_t chip_temp;
    int32_t pcb_temp;
};

struct cv_metrics {
    time_t timestamp; // when the snapshot was completed
    int32_t uptime;   // seconds the daemon has run
    miner_states state;
    double hashrate;     // the 5-second figure / 1000, spikes cut to the average
    double hashrate_avg; // the average / 1000
    double freq;
    int32_t temp; // "temp_max" raised to the hottest chip temperature
    double watt;
    int32_t hw_errors;
    cv_fan_stats fan_list[CV_MAX_FANS]; // fans with data first, in fan order
    uint32_t fan_count;
    cv_chain_stats chain_list[CV_MAX_CHAINS]; // by position of CHAIN_IDS
    uint32_t chain_count;                     // always CV_MAX_CHAINS
};

enum cv_pool_status {
    POOL_NOT_CONFIGURED = 0,
    POOL_ACTIVE = 1,
    POOL_ALIVE = 2,
    POOL_DEAD = 3,
};

struct cv_pool_stats {
    bool asicboost; // never set on this model
    char diff[20];  // as the daemon writes it, "0" for an empty text
    uint64_t accepted;
    uint64_t rejected;
    uint64_t stale;
    cv_pool_status status;
};

struct cv_pools_stats {
    cv_pool_stats main; // user pools at positions 0, 1 and 2 of the daemon's list
    cv_pool_stats reserved;
    cv_pool_stats reserved2;
    cv_pool_stats svc_fee_list[CV_MAX_SVC_FEE_POOLS]; // in the order met
    uint32_t svc_fee_count;
};

enum cv_chip_state {
    CHIP_STATE_UNKNOWN = 0,
    CHIP_STATE_FAST = 1,
    CHIP_STATE_SLOW = 2,
    CHIP_STATE_UNSTABLE = 3,
};

struct cv_chip_info {
    int32_t chip_id;  // 1 to 72
    double hash_rate; // from the firmware's chip hash-rate file
    uint16_t freq;    // effective frequency
    bool custom_freq; // the chip has a frequency of its own
    cv_chip_state state;
};

struct cv_chip_metrics {
    int32_t chain_id;
    cv_chip_info chips[CV_MAX_CHIPS]; // chip n at index n - 1
};

// A snapshot from the daemon's "stats" reply plus the process state.
std::unique_ptr<cv_metrics> cgminer_metrics();
// The part of the snapshot that comes from a parsed "stats" reply (borrowed): everything but
// `state` (left MINER_STATE_INITIALIZING) and `timestamp` (left 0).
std::unique_ptr<cv_metrics> cgminer_metrics_from_reply(json_t* reply);

// Fills chain_list and chain_count from the statistics object; adds to watt and hw_errors
// and raises temp of `metrics`, which starts zeroed.
void parse_chains_data(json_t* stats, cv_metrics* metrics);
// Fills fan_list and fan_count.
void parse_fans_data(json_t* stats, cv_metrics* metrics);
bool fan_has_data(const cv_fan_stats& fan);
// The daemon's state word ("mining", "pause" ...); null and unknown words give
// MINER_STATE_UNKNOWN.
miner_states parse_miner_state(const char* state);

// The statistics of the pools from the daemon's "pools" reply.
std::unique_ptr<cv_pools_stats> cgminer_pools_stats();
std::unique_ptr<cv_pools_stats> cgminer_pools_stats_from_reply(json_t* reply);

// How a chip performs for its frequency.
cv_chip_state chip_state(double hash_rate, uint16_t freq);

// A chain setting of 0 means the global setting applies.
double chain_volt(int32_t chain_value, int32_t global_value);
int32_t chain_chip_freq(int32_t chain_value, int32_t global_value);

// The chips of one chain (one of CHAIN_IDS; the caller checks it) from the daemon's
// configuration file and the firmware's chip hash-rate file; null (logged) when the
// configuration cannot be loaded.
std::unique_ptr<cv_chip_metrics> cgminer_chip_metrics(int32_t chain);

// True while the configuration enables the autotuner (stage 1 or 2).
bool cgminer_autotune_in_progress();
