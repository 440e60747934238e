#include "miner/collect.h"

#include "handles.h"
#include "log.h"
#include "miner/api.h"
#include "miner/l3plus/support.h"
#include "miner/support.h"
#include "util.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Service-fee pools sit at the end of the daemon's list with a priority of 900 or more.
constexpr int SVC_FEE_MIN_PRIORITY = 900;

// The leading number of a figure the daemon writes as text; 0 when there is none. The
// daemon's own "inf" and "nan" would poison every sum and the JSON sent on, so they count
// as none too.
double leading_number(const char* text) {
    double value = strtod(text, nullptr);
    return std::isfinite(value) ? value : 0.0;
}

// A daemon gone wild must not overflow the error total.
int32_t add_saturated(int32_t a, int32_t b) {
    int64_t sum = int64_t{a} + b;
    return static_cast<int32_t>(std::clamp<int64_t>(sum, INT32_MIN, INT32_MAX));
}

void fill_pool(cv_pool_stats* pool, const char* status, json_int_t accepted, json_int_t rejected,
               json_int_t stale, const char* diff, int stratum_active) {
    pool->asicboost = false;
    copy_text(pool->diff, diff[0] != '\0' ? diff : "0");
    pool->accepted = static_cast<uint64_t>(accepted);
    pool->rejected = static_cast<uint64_t>(rejected);
    pool->stale = static_cast<uint64_t>(stale);
    if (strcmp(status, "Alive") == 0) {
        pool->status = stratum_active ? POOL_ACTIVE : POOL_ALIVE;
    } else if (strcmp(status, "Dead") == 0) {
        pool->status = POOL_DEAD;
    } else {
        LOG_WARN("Unknown pool status: %s", log_escape(status).c_str());
        pool->status = POOL_NOT_CONFIGURED;
    }
}

} // namespace

std::unique_ptr<cv_metrics> cgminer_metrics_from_reply(json_t* reply) {
    json_error_t error;
    json_t* head = nullptr;
    json_t* stats = nullptr;
    if (json_unpack_ex(reply, &error, 0, "{s:[oo!]}", "STATS", &head, &stats) != 0) {
        LOG_ERROR("%s", error.text);
        LOG_ERROR("Failed to unpack STATS from api response");
        return nullptr;
    }

    auto metrics = std::make_unique<cv_metrics>();
    int uptime = 0;
    const char* state = nullptr; // only checked for its type
    const char* rate_5s = nullptr;
    int temp_max = 0;
    if (json_unpack_ex(stats, &error, 0, "{s:i, s?s, s:s, s:f, s:f, s?i}", "Elapsed", &uptime,
                       "state", &state, "GHS 5s", &rate_5s, "GHS av", &metrics->hashrate_avg,
                       "freq_avg1", &metrics->freq, "temp_max", &temp_max) != 0) {
        LOG_ERROR("Failed to unpack global metrics");
        return nullptr;
    }
    metrics->uptime = uptime;
    metrics->temp = temp_max;
    metrics->hashrate = leading_number(rate_5s) / 1000.0;
    metrics->hashrate_avg /= 1000.0;
    // The 5-second figure jumps wildly after a restart; the average is the honest figure then.
    if (metrics->hashrate > 2 * metrics->hashrate_avg) {
        metrics->hashrate = metrics->hashrate_avg;
    }
    parse_chains_data(stats, metrics.get());
    parse_fans_data(stats, metrics.get());
    return metrics;
}

std::unique_ptr<cv_metrics> cgminer_metrics() {
    json_ptr reply;
    if (api_call_cmd("stats", &reply) != 0) {
        return nullptr;
    }
    std::unique_ptr<cv_metrics> metrics = cgminer_metrics_from_reply(reply.get());
    if (!metrics) {
        return nullptr;
    }
    if (cgminer_running()) {
        if (miner_is_stopped()) {
            metrics->state = MINER_STATE_STOPPED;
        } else if (cgminer_ready() && metrics->hashrate > 0) {
            metrics->state =
                cgminer_autotune_in_progress() ? MINER_STATE_AUTO_TUNING : MINER_STATE_MINING;
        } else {
            metrics->state = MINER_STATE_INITIALIZING;
        }
    } else {
        metrics->state = miner_is_stopped() ? MINER_STATE_STOPPED : MINER_STATE_UNKNOWN;
    }
    metrics->timestamp = time(nullptr);
    return metrics;
}

void parse_chains_data(json_t* stats, cv_metrics* metrics) {
    int miner_count = 0;
    if (json_unpack(stats, "{s:i}", "miner_count", &miner_count) != 0) {
        LOG_WARN("Unable to parse the number of chains");
    }
    // The daemon's chain count does not bound the loop: a chain it lost still has a slot.
    cv_chain_stats chains[CV_MAX_CHAINS] = {};
    for (int i = 0; i < CV_MAX_CHAINS; i++) {
        int32_t id = CHAIN_IDS[i];
        char acn[32], rate[32], freq[32], temp[32], temp2[32], hw[32], voltage[32], watt[32];
        snprintf(acn, sizeof(acn), "chain_acn%d", id);
        snprintf(rate, sizeof(rate), "chain_rate%d", id);
        snprintf(freq, sizeof(freq), "freq_avg%d", id);
        snprintf(temp, sizeof(temp), "temp%d", id);
        snprintf(temp2, sizeof(temp2), "temp2_%d", id);
        snprintf(hw, sizeof(hw), "chain_hw%d", id);
        snprintf(voltage, sizeof(voltage), "voltage%d", id);
        snprintf(watt, sizeof(watt), "consumption%d", id);

        cv_chain_stats* chain = &chains[i];
        const char* rate_text = nullptr;
        // Reset for every chain: a chain without the member has no voltage figure, not the
        // one of the chain before.
        int volt = 0;
        if (json_unpack(stats, "{s:i, s:s, s:f, s?i, s:i, s:i, s:i, s?F}", acn, &chain->num_chips,
                        rate, &rate_text, freq, &chain->freq, voltage, &volt, temp,
                        &chain->pcb_temp, temp2, &chain->chip_temp, hw, &chain->hw_errors, watt,
                        &chain->watt) != 0) {
            LOG_ERROR("Couldn't parse data for chain %d", i);
            *chain = cv_chain_stats{};
            continue;
        }
        if (chain->chip_temp > metrics->temp) {
            metrics->temp = chain->chip_temp;
        }
        chain->id = id;
        chain->hash_rate = leading_number(rate_text) / 1000.0;
        chain->volt = volt;
    }
    for (int i = 0; i < CV_MAX_CHAINS; i++) {
        if (chains[i].id != 0) {
            metrics->chain_list[i] = chains[i];
            // Clamped: an absurd figure must not turn the total into inf, which no JSON holds.
            metrics->watt = std::clamp(metrics->watt + chains[i].watt, -DBL_MAX, DBL_MAX);
            metrics->hw_errors = add_saturated(metrics->hw_errors, chains[i].hw_errors);
        }
    }
    metrics->chain_count = CV_MAX_CHAINS;
}

void parse_fans_data(json_t* stats, cv_metrics* metrics) {
    int fan_num = CV_MAX_FANS;
    if (json_unpack(stats, "{s:i}", "fan_num", &fan_num) != 0) {
        LOG_WARN("Unable to parse the number of fans");
        fan_num = CV_MAX_FANS;
    }
    cv_fan_stats fans[CV_MAX_FANS] = {};
    for (int n = 1; n <= CV_MAX_FANS; n++) {
        cv_fan_stats* fan = &fans[n - 1];
        char name[16];
        snprintf(name, sizeof(name), "fan%d", n);
        if (json_unpack(stats, "{s:i}", name, &fan->rpm) != 0) {
            LOG_WARN("Failed to parse data for fan %d", n);
            *fan = cv_fan_stats{};
            continue;
        }
        // Full speed is 6000 rpm; faster fans still count as 100 %.
        double percent = fan->rpm / 6000.0 * 100.0;
        fan->speed = percent < 100.0 ? static_cast<int32_t>(percent) : 100;
        fan->id = fan_has_data(*fan) ? n : 0;
    }
    uint32_t taken = 0;
    for (int n = 0; n < CV_MAX_FANS && static_cast<int>(taken) < fan_num; n++) {
        if (fans[n].id != 0) {
            metrics->fan_list[taken++] = fans[n];
        }
    }
    metrics->fan_count = taken;
}

bool fan_has_data(const cv_fan_stats& fan) {
    return fan.speed > 0 || fan.rpm >= 1;
}

miner_states parse_miner_state(const char* state) {
    static const struct {
        const char* word;
        miner_states state;
    } words[] = {
        {"initializing", MINER_STATE_INITIALIZING},
        {"mining", MINER_STATE_MINING},
        {"autotuning", MINER_STATE_AUTO_TUNING},
        {"shutting-down", MINER_STATE_SHUTTING_DOWN},
        {"pause", MINER_STATE_STOPPED},
        {"failure", MINER_STATE_FAILURE},
    };
    if (state != nullptr) {
        for (const auto& entry : words) {
            if (strcmp(state, entry.word) == 0) {
                return entry.state;
            }
        }
    }
    return MINER_STATE_UNKNOWN;
}

std::unique_ptr<cv_pools_stats> cgminer_pools_stats_from_reply(json_t* reply) {
    json_error_t error;
    json_t* pools = nullptr;
    if (json_unpack_ex(reply, &error, 0, "{s:o}", "POOLS", &pools) != 0) {
        LOG_ERROR("Failed to unpack POOLS from api response: %s", error.text);
        return nullptr;
    }
    if (!json_is_array(pools)) {
        LOG_ERROR("POOLS must be an array object");
        return nullptr;
    }
    auto stats = std::make_unique<cv_pools_stats>();
    cv_pool_stats* user_slots[] = {&stats->main, &stats->reserved, &stats->reserved2};
    size_t i;
    json_t* element;
    json_array_foreach(pools, i, element) {
        const char* url = nullptr;
        const char* status = nullptr;
        int priority = 0;
        json_int_t accepted = 0, rejected = 0, stale = 0;
        const char* diff = nullptr;
        int stratum_active = 0;
        if (json_unpack_ex(element, &error, 0, "{s:s, s:s, s:i, s:I, s:I, s:I, s:s, s:b}", "URL",
                           &url, "Status", &status, "Priority", &priority, "Accepted", &accepted,
                           "Rejected", &rejected, "Stale", &stale, "Diff", &diff, "Stratum Active",
                           &stratum_active) != 0) {
            LOG_WARN("Failed to parse pool #%d stats: %s", static_cast<int>(i), error.text);
            continue;
        }
        cv_pool_stats* pool = nullptr;
        if (priority >= SVC_FEE_MIN_PRIORITY && strncmp(url, "DevFee", 6) == 0) {
            if (stats->svc_fee_count == CV_MAX_SVC_FEE_POOLS) {
                LOG_WARN("Ignoring service fee pool #%d, only %d are reported", static_cast<int>(i),
                         CV_MAX_SVC_FEE_POOLS);
                continue;
            }
            pool = &stats->svc_fee_list[stats->svc_fee_count++];
        } else if (strlen(url) < 3 && strcmp(status, "Dead") == 0) {
            continue; // an empty slot of the daemon's list
        } else if (i < 3) {
            pool = user_slots[i];
        } else {
            continue;
        }
        fill_pool(pool, status, accepted, rejected, stale, diff, stratum_active);
    }
    return stats;
}

std::unique_ptr<cv_pools_stats> cgminer_pools_stats() {
    json_ptr reply;
    if (api_call_cmd("pools", &reply) != 0) {
        return nullptr;
    }
    return cgminer_pools_stats_from_reply(reply.get());
}

cv_chip_state chip_state(double hash_rate, uint16_t freq) {
    if (hash_rate == 0.0) {
        return CHIP_STATE_UNKNOWN;
    }
    if (freq == 0) {
        return CHIP_STATE_UNSTABLE; // hashing without a clock means the figures are wrong
    }
    // A chip at 222 MHz is expected to do about 1 unit; well below or far above is suspect.
    double r = hash_rate / (freq / 222.0);
    if (r >= 0.85 && r < 2.5) {
        return CHIP_STATE_FAST;
    }
    if (r >= 0.5 && r < 0.85) {
        return CHIP_STATE_SLOW;
    }
    return CHIP_STATE_UNSTABLE;
}

double chain_volt(int32_t chain_value, int32_t global_value) {
    return chain_value >= 1 ? chain_value : global_value;
}

int32_t chain_chip_freq(int32_t chain_value, int32_t global_value) {
    return chain_value >= 1 ? chain_value : global_value;
}

bool cgminer_autotune_in_progress() {
    return miner_is_auto_tune();
}
