// The setters change the shared record of the open change transaction and report whether
// they did, so that its end knows whether to store the file and restart the daemon.
#include "log.h"
#include "miner/collect.h"
#include "miner/l3plus/fields.h"
#include "miner/l3plus/support.h"
#include "miner/support.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr int32_t MIN_MANUAL_FAN_SPEED = 20;

bool transaction_open() {
    if (!miner_config_is_loaded()) {
        LOG_ERROR("Miner config is not loaded!");
        return false;
    }
    return true;
}

// 1 when `value` was stored, 0 when the field already held it.
template <typename T> int store(T* field, T value) {
    if (*field == value) {
        return 0;
    }
    *field = value;
    miner_config_mark_changed();
    return 1;
}

// The position of a chain in the record, or -1 (logged).
int chain_of(uint8_t chain) {
    int position = chain_position(chain);
    if (position < 0) {
        LOG_ERROR("Invalid chain %d, it should be between %d and %d", chain, CHAIN_IDS[0],
                  CHAIN_IDS[CV_MAX_CHAINS - 1]);
    }
    return position;
}

// A voltage differs when it differs as a real; the field keeps its integer part. A value with
// no integer part the field can hold is refused rather than converted with undefined result.
int store_volt(int32_t* field, double volt) {
    if (!std::isfinite(volt) || volt <= INT32_MIN - 1.0 || volt >= INT32_MAX + 1.0) {
        LOG_ERROR("Invalid voltage %g", volt);
        return -1;
    }
    if (static_cast<double>(*field) == volt) {
        return 0;
    }
    *field = static_cast<int32_t>(volt);
    miner_config_mark_changed();
    return 1;
}

// The chip array of the chain at `position` in the record given.
template <typename Config> auto& chips_of(Config& config, int position) {
    return config.*CHAIN_CHIP_FIELDS[position];
}

} // namespace

int cgminer_chain_freq(uint8_t chain, uint16_t freq) {
    int position = transaction_open() ? chain_of(chain) : -1;
    if (position < 0) {
        return -1;
    }
    return store(&(shared_miner_config().*CHAIN_FREQ_FIELDS[position]), int32_t{freq});
}

int cgminer_chain_volt(uint8_t chain, double volt) {
    int position = transaction_open() ? chain_of(chain) : -1;
    if (position < 0) {
        return -1;
    }
    return store_volt(&(shared_miner_config().*CHAIN_VOLT_FIELDS[position]), volt);
}

int cgminer_chip_freq(uint8_t chain, uint8_t chip, uint16_t freq) {
    int position = transaction_open() ? chain_of(chain) : -1;
    if (position < 0) {
        return -1;
    }
    if (chip == 0 || chip > CV_MAX_CHIPS) {
        LOG_ERROR("Invalid chip %d, it should be between 1 and %d", chip, CV_MAX_CHIPS);
        return -1;
    }
    return store(&chips_of(shared_miner_config(), position)[chip - 1], int32_t{freq});
}

int cgminer_fans(fan_modes mode, int32_t speed, int32_t target_temp, bool silent_start) {
    if (!transaction_open()) {
        return -1;
    }
    miner_config& config = shared_miner_config();
    switch (mode) {
    case FAN_MODE_AUTO:
        if (!config.bitmain_fan_ctrl && config.bitmain_target_temp == target_temp &&
            config.bitmain_silentstart == silent_start) {
            return 0;
        }
        config.bitmain_silentstart = silent_start;
        config.bitmain_target_temp = target_temp;
        config.bitmain_fan_ctrl = false;
        break;
    case FAN_MODE_MANUAL:
        // Compared with the request, so a speed below the minimum counts as a change each time.
        if (config.bitmain_fan_ctrl && config.bitmain_fan_pwm == speed &&
            config.bitmain_silentstart == silent_start) {
            return 0;
        }
        config.bitmain_silentstart = silent_start;
        config.bitmain_fan_ctrl = true;
        config.bitmain_fan_pwm = std::max(speed, MIN_MANUAL_FAN_SPEED);
        break;
    case FAN_MODE_IMMERSION:
        return 0; // the file has no way to say it
    default:
        LOG_ERROR("Invalid fan mode %d", static_cast<int>(mode));
        return -1;
    }
    miner_config_mark_changed();
    return 1;
}

int cgminer_perf_profile(const char* name) {
    assert(name != nullptr);
    int32_t id = profile_to_profile_id(name);
    if (!transaction_open()) {
        return -1;
    }
    return store(&shared_miner_config().bitmain_autodownscale_profile, id);
}

int cgminer_global_freq(uint16_t freq) {
    if (!transaction_open()) {
        return -1;
    }
    return store(&shared_miner_config().bitmain_freq, int32_t{freq});
}

int cgminer_global_volt(double volt) {
    if (!transaction_open()) {
        return -1;
    }
    return store_volt(&shared_miner_config().bitmain_voltage, volt);
}

int cgminer_watchdog(int32_t min_hr, int32_t max_xchips, int32_t max_temp) {
    if (!transaction_open()) {
        return -1;
    }
    miner_config& config = shared_miner_config();
    int changed = store(&config.bitmain_minhr, min_hr);
    changed |= store(&config.bitmain_maxx, max_xchips);
    changed |= store(&config.bitmain_tempoff, max_temp);
    return changed;
}

int cgminer_autotuner(bool stage1, bool stage2, bool stage3, int32_t stage3_interval,
                      int32_t downclock_step, uint16_t min_freq, int32_t hashrate_deviation,
                      int32_t test_time, int32_t down_freq_hw, bool reset_chips) {
    if (!transaction_open()) {
        return -1;
    }
    miner_config& config = shared_miner_config();
    int changed = store(&config.bitmain_autodownscale, stage1);
    changed |= store(&config.bitmain_autodownscale_watch, stage2);
    changed |= store(&config.bitmain_autodownscale_watchtimer, stage3);
    changed |= store(&config.bitmain_autodownscale_timer, stage3 ? stage3_interval : 0);
    changed |= store(&config.bitmain_autodownscale_step, downclock_step);
    changed |= store(&config.bitmain_autodownscale_min, int32_t{min_freq});
    changed |= store(&config.bitmain_autodownscale_prec, hashrate_deviation);
    changed |= store(&config.bitmain_autodownscale_after, test_time);
    changed |= store(&config.bitmain_autodownscale_hw, down_freq_hw);
    if (reset_chips) {
        reset_all_chips();
        miner_config_mark_changed();
        changed = 1;
    }
    miner_set_auto_tune(stage1 || stage2);
    return changed;
}

void reset_all_chips() {
    for (int position = 0; position < CV_MAX_CHAINS; position++) {
        std::ranges::fill(chips_of(shared_miner_config(), position), 0);
    }
}

bool chip_custom_freq(int32_t chain, int32_t chip, const miner_config& config) {
    int position = chain_position(chain);
    assert(position >= 0 && chip >= 1 && chip <= CV_MAX_CHIPS);
    return chips_of(config, position)[chip - 1] > 0;
}

uint16_t chip_freq(int32_t chain, int32_t chip, const miner_config& config) {
    int position = chain_position(chain);
    assert(position >= 0 && chip >= 1 && chip <= CV_MAX_CHIPS);
    int32_t own = chips_of(config, position)[chip - 1];
    if (static_cast<uint16_t>(own) != 0) {
        return static_cast<uint16_t>(own);
    }
    return static_cast<uint16_t>(
        chain_chip_freq(config.*CHAIN_FREQ_FIELDS[position], config.bitmain_freq));
}

double chip_hashrate(int32_t chain, int32_t chip, json_t* chiphr) {
    int position = chain_position(chain);
    assert(position >= 0);
    char member[16];
    snprintf(member, sizeof(member), "Asic%02d", chip - 1);
    const char* text = json_string_value(
        json_object_get(json_array_get(chiphr, static_cast<size_t>(position)), member));
    if (text == nullptr) {
        return 0.0;
    }
    // "inf" or "nan" from a broken dump would poison the JSON sent on.
    double rate = strtod(text, nullptr);
    return std::isfinite(rate) ? rate : 0.0;
}
