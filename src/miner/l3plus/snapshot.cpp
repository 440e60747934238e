// The server's copy of the miner settings: the daemon's file composed into "pools", "fans",
// "perf", "chains", "autotuner" and "watchdog" in the server's vocabulary.
#include "log.h"
#include "miner/collect.h"
#include "miner/l3plus/fields.h"
#include "miner/l3plus/support.h"

#include <atomic>
#include <cstring>
#include <string>

namespace {

constexpr perf_profile_name PERF_PROFILE_NAMES[] = {
    {0, "0"}, {1, "1"}, {2, "2"}, {3, "3"},   {4, "4"},   {5, "5"},   {6, "6"},
    {7, "7"}, {8, "8"}, {9, "9"}, {10, "10"}, {11, "11"}, {12, "12"},
};
static_assert(std::size(PERF_PROFILE_NAMES) > 1, "the first profile is the fallback of many");

// Written by the snapshot (any thread) and the autotuner setter, read by monitoring.
std::atomic<bool> auto_tune = false;

json_t* compose_pool(const pool_config& pool) {
    return json_pack("{s:s, s:s, s:s}", "stratum_url", pool.url, "worker", pool.worker, "password",
                     pool.passwd);
}

json_t* compose_pools(const miner_config& config) {
    static const char* const NAMES[CV_MAX_POOLS] = {"main", "reserved", "reserved2"};
    json_t* pools = json_object();
    for (size_t i = 0; i < config.pool_count && i < CV_MAX_POOLS; i++) {
        json_object_set_new(pools, NAMES[i], compose_pool(config.pools[i]));
    }
    return pools;
}

json_t* compose_fans(const miner_config& config) {
    return json_pack("{s:s, s:i, s:b, s:i}", "mode", config.bitmain_fan_ctrl ? "manual" : "auto",
                     "speed", config.bitmain_fan_pwm, "silent_start", config.bitmain_silentstart,
                     "target_temp", config.bitmain_target_temp);
}

json_t* compose_perf(const miner_config& config) {
    const char* profile =
        profile_id_to_profile(static_cast<uint8_t>(config.bitmain_autodownscale_profile));
    return json_pack("{s:s, s:i, s:i}", "profile", profile, "freq", config.bitmain_freq, "volt",
                     config.bitmain_voltage);
}

json_t* compose_chip_settings(int chip, uint16_t freq) {
    return json_pack("{s:s, s:i}", "id", std::to_string(chip).c_str(), "freq", freq);
}

// The chips of the chain at `position` that have a frequency of their own.
json_t* compose_chips(int position, const miner_config& config) {
    json_t* chips = json_array();
    const chip_freqs& freqs = config.*CHAIN_CHIP_FIELDS[position];
    for (int chip = 1; chip <= CV_MAX_CHIPS; chip++) {
        if (freqs[chip - 1] > 0) {
            json_array_append_new(
                chips, compose_chip_settings(chip, static_cast<uint16_t>(freqs[chip - 1])));
        }
    }
    return chips;
}

json_t* compose_chains(const miner_config& config) {
    json_t* chains = json_array();
    for (int position = 0; position < CV_MAX_CHAINS; position++) {
        int32_t freq = config.*CHAIN_FREQ_FIELDS[position];
        int32_t volt = config.*CHAIN_VOLT_FIELDS[position];
        json_array_append_new(chains,
                              json_pack("{s:s, s:b, s:b, s:i, s:f, s:o}", "id",
                                        std::to_string(CHAIN_IDS[position]).c_str(),
                                        "use_global_freq", freq == 0, "use_global_volt", volt == 0,
                                        "freq", chain_chip_freq(freq, config.bitmain_freq), "volt",
                                        chain_volt(volt, config.bitmain_voltage), "chips",
                                        compose_chips(position, config)));
    }
    return chains;
}

json_t* compose_autotuner(const miner_config& config) {
    return json_pack(
        "{s:b, s:b, s:b, s:i, s:i, s:i, s:i, s:i, s:i}", "stage1", config.bitmain_autodownscale,
        "stage2", config.bitmain_autodownscale_watch, "stage3",
        config.bitmain_autodownscale_watchtimer, "stage3_interval",
        config.bitmain_autodownscale_timer, "downclock_step", config.bitmain_autodownscale_step,
        "min_freq", config.bitmain_autodownscale_min, "hashrate_deviation",
        config.bitmain_autodownscale_prec, "test_time", config.bitmain_autodownscale_after,
        "down_freq_hw", config.bitmain_autodownscale_hw);
}

// 0 means no limit, which the server wants as null.
json_t* watchdog_value(int32_t value) {
    return value != 0 ? json_integer(value) : json_null();
}

json_t* compose_watchdog(const miner_config& config) {
    return json_pack("{s:o, s:o, s:o}", "min_hr", watchdog_value(config.bitmain_minhr),
                     "max_xchips", watchdog_value(config.bitmain_maxx), "max_temp",
                     watchdog_value(config.bitmain_tempoff));
}

} // namespace

const char* profile_id_to_profile(uint8_t id) {
    for (const perf_profile_name& profile : PERF_PROFILE_NAMES) {
        if (profile.id == id) {
            return profile.name;
        }
    }
    return PERF_PROFILE_NAMES[0].name;
}

uint8_t profile_to_profile_id(const char* name) {
    for (const perf_profile_name& profile : PERF_PROFILE_NAMES) {
        if (strcmp(profile.name, name) == 0) {
            return profile.id;
        }
    }
    return 0;
}

json_ptr cgminer_config() {
    std::string path = cgminer_config_path();
    miner_config config{};
    if (miner_load_config(path, &config) != 0) {
        LOG_ERROR("Failed to load miner config %s", path.c_str());
        return nullptr;
    }
    miner_set_auto_tune(config.bitmain_autodownscale || config.bitmain_autodownscale_watch);
    // "o*": a part that could not be composed is left out.
    return json_ptr(json_pack("{s:o*, s:o*, s:o*, s:o*, s:o*, s:o*}", "pools",
                              compose_pools(config), "fans", compose_fans(config), "perf",
                              compose_perf(config), "chains", compose_chains(config), "autotuner",
                              compose_autotuner(config), "watchdog", compose_watchdog(config)));
}

bool miner_is_auto_tune() {
    return auto_tune;
}

void miner_set_auto_tune(bool on) {
    auto_tune = on;
}
