#include "miner/l3plus/config.h"

#include "log.h"
#include "miner/l3plus/fields.h"

#include <algorithm>
#include <cassert>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// The daemon keeps numbers as text of at most 9 characters, sign included. Values outside are
// held to this range both ways, so whatever is read can be written back unchanged.
constexpr long long TEXT_INT_MIN = -99999999;
constexpr long long TEXT_INT_MAX = 999999999;

constexpr int CHIP_LIST_VALUES = CV_MAX_CHAINS * CV_MAX_CHIPS;

enum value_kind {
    KIND_NUMBER,      // text holding a number
    KIND_SWITCH,      // JSON boolean
    KIND_TEXT_SWITCH, // text, on exactly when "1"
};

struct key_spec {
    const char* key;
    value_kind kind;
    const char* absent; // text read when the key is absent (numbers)
    int32_t miner_config::*number;
    bool miner_config::*flag;
};

constexpr key_spec number(const char* key, int32_t miner_config::*field, const char* absent) {
    return {key, KIND_NUMBER, absent, field, nullptr};
}

constexpr key_spec on_off(const char* key, bool miner_config::*field) {
    return {key, KIND_SWITCH, nullptr, nullptr, field};
}

// Each group in the order its members are written.
const key_spec FAN_KEYS[] = {
    {"bitmain-fan-rpm-off", KIND_TEXT_SWITCH, "0", nullptr, &miner_config::bitmain_fan_rpm_off},
    number("bitmain-fan-pwm", &miner_config::bitmain_fan_pwm, "0"),
    on_off("bitmain-fan-ctrl", &miner_config::bitmain_fan_ctrl),
    on_off("bitmain-silentstart", &miner_config::bitmain_silentstart),
    number("bitmain-target-temp", &miner_config::bitmain_target_temp, "0"),
};

const key_spec GLOBAL_KEYS[] = {
    number("bitmain-freq", &miner_config::bitmain_freq, "384"),
    number("bitmain-voltage", &miner_config::bitmain_voltage, "8"),
};

const key_spec CHAIN_KEYS[] = {
    number("bitmain-freq1", &miner_config::bitmain_freq1, "0"),
    number("bitmain-freq2", &miner_config::bitmain_freq2, "0"),
    number("bitmain-freq3", &miner_config::bitmain_freq3, "0"),
    number("bitmain-freq4", &miner_config::bitmain_freq4, "0"),
    number("bitmain-voltage1", &miner_config::bitmain_voltage1, "0"),
    number("bitmain-voltage2", &miner_config::bitmain_voltage2, "0"),
    number("bitmain-voltage3", &miner_config::bitmain_voltage3, "0"),
    number("bitmain-voltage4", &miner_config::bitmain_voltage4, "0"),
};

const key_spec AUTOTUNE_KEYS[] = {
    number("bitmain-autodownscale-profile", &miner_config::bitmain_autodownscale_profile, "0"),
    number("bitmain-autodownscale-timer", &miner_config::bitmain_autodownscale_timer, "0"),
    number("bitmain-autodownscale-hw", &miner_config::bitmain_autodownscale_hw, "0"),
    number("bitmain-autodownscale-prec", &miner_config::bitmain_autodownscale_prec, "75"),
    number("bitmain-autodownscale-min", &miner_config::bitmain_autodownscale_min, "400"),
    number("bitmain-autodownscale-step", &miner_config::bitmain_autodownscale_step, "2"),
    number("bitmain-autodownscale-after", &miner_config::bitmain_autodownscale_after, "2"),
    on_off("bitmain-autodownscale", &miner_config::bitmain_autodownscale),
    on_off("bitmain-autodownscale-watch", &miner_config::bitmain_autodownscale_watch),
    on_off("bitmain-autodownscale-watchtimer", &miner_config::bitmain_autodownscale_watchtimer),
    on_off("bitmain-autodownscale-reboot", &miner_config::bitmain_autodownscale_reboot),
};

const key_spec WATCHDOG_KEYS[] = {
    number("bitmain-minhr", &miner_config::bitmain_minhr, "0"),
    number("bitmain-maxx", &miner_config::bitmain_maxx, "0"),
    number("bitmain-trigger-reboot", &miner_config::bitmain_trigger_reboot, "0"),
    number("bitmain-tempoff", &miner_config::bitmain_tempoff, "0"),
};

// The leading decimal integer of a text (blanks, sign, digits); 0 without digits.
int32_t text_int(const char* text) {
    return static_cast<int32_t>(std::clamp(strtoll(text, nullptr, 10), TEXT_INT_MIN, TEXT_INT_MAX));
}

std::string int_text(int32_t value) {
    return std::to_string(std::clamp<long long>(value, TEXT_INT_MIN, TEXT_INT_MAX));
}

// Reads every key of a group into `config`, absent ones as their default. False, with the
// library's error text, when a key is present with another type; the fields are then partly
// set and the caller decides what they become.
template <size_t N>
bool read_keys(json_t* root, const key_spec (&keys)[N], miner_config* config, json_error_t* error) {
    for (const key_spec& spec : keys) {
        if (spec.kind == KIND_SWITCH) {
            int on = 0;
            if (json_unpack_ex(root, error, 0, "{s?b}", spec.key, &on) != 0) {
                return false;
            }
            config->*spec.flag = on != 0;
            continue;
        }
        const char* text = spec.absent;
        if (json_unpack_ex(root, error, 0, "{s?s}", spec.key, &text) != 0) {
            return false;
        }
        if (spec.kind == KIND_TEXT_SWITCH) {
            config->*spec.flag = strcmp(text, "1") == 0;
        } else {
            config->*spec.number = text_int(text);
        }
    }
    return true;
}

template <size_t N>
bool write_keys(json_t* root, const key_spec (&keys)[N], const miner_config& config) {
    for (const key_spec& spec : keys) {
        json_t* value = nullptr;
        if (spec.kind == KIND_SWITCH) {
            value = json_boolean(config.*spec.flag);
        } else if (spec.kind == KIND_TEXT_SWITCH) {
            value = json_string(config.*spec.flag ? "1" : "0");
        } else if (spec.number == &miner_config::bitmain_target_temp &&
                   config.bitmain_target_temp <= 0) {
            continue; // none set: the file keeps its own
        } else {
            value = json_string(int_text(config.*spec.number).c_str());
        }
        if (json_object_set_new(root, spec.key, value) != 0) {
            return false;
        }
    }
    return true;
}

void parse_fan_settings(json_t* root, miner_config* config) {
    json_error_t error;
    if (!read_keys(root, FAN_KEYS, config, &error)) {
        // A bad fan member must not keep the miner from being managed: fall back to defaults.
        LOG_ERROR("Failed to parse fan settings - %s", error.text);
        LOG_INFO("Resetting fan settings to defaults");
        config->bitmain_fan_ctrl = false;
        config->bitmain_fan_pwm = 0;
        config->bitmain_fan_rpm_off = false;
        config->bitmain_silentstart = false;
        config->bitmain_target_temp = 0;
        return;
    }
    config->bitmain_fan_pwm = std::min(config->bitmain_fan_pwm, 100);
    config->bitmain_target_temp = std::max(config->bitmain_target_temp, 0);
    if (config->bitmain_target_temp == 0) {
        config->bitmain_target_temp = 65;
    }
}

int parse_freq_and_volt_settings(json_t* root, miner_config* config) {
    json_error_t error;
    if (!read_keys(root, GLOBAL_KEYS, config, &error)) {
        LOG_ERROR("Failed to parse global freq and volt settings - %s", error.text);
        return -1;
    }
    if (!read_keys(root, CHAIN_KEYS, config, &error)) {
        LOG_ERROR("Failed to parse chain freq and volt settings - %s", error.text);
        return -1;
    }
    return 0;
}

int parse_autotune_settings(json_t* root, miner_config* config) {
    json_error_t error;
    if (!read_keys(root, AUTOTUNE_KEYS, config, &error)) {
        LOG_ERROR("Failed to parse autotune settings");
        return -1;
    }
    config->bitmain_autodownscale_prec = std::min(config->bitmain_autodownscale_prec, 100);
    return 0;
}

// "f1:f2:...": chain 1's 72 chips first, then chains 2, 3 and 4. Empty fields do not count;
// each value keeps its low 16 bits; values beyond the 288th are ignored.
int parse_chip_freqs(json_t* root, miner_config* config) {
    for (chip_freqs miner_config::*chips : CHAIN_CHIP_FIELDS) {
        std::fill(std::begin(config->*chips), std::end(config->*chips), 0);
    }
    json_error_t error;
    const char* text = "";
    if (json_unpack_ex(root, &error, 0, "{s?s}", "bitmain-chip-freq", &text) != 0) {
        LOG_ERROR("Failed to parse chip frequencies");
        return -1;
    }
    int n = 0;
    for (const char* field = text; *field != '\0' && n < CHIP_LIST_VALUES;) {
        size_t length = strcspn(field, ":");
        if (length > 0) {
            // The conversion stops at the separator at the latest.
            int32_t value = static_cast<uint16_t>(text_int(field));
            (config->*CHAIN_CHIP_FIELDS[n / CV_MAX_CHIPS])[n % CV_MAX_CHIPS] = value;
            n++;
        }
        field += length;
        if (*field == ':') {
            field++;
        }
    }
    return 0;
}

int parse_watchdog_settings(json_t* root, miner_config* config) {
    json_error_t error;
    if (!read_keys(root, WATCHDOG_KEYS, config, &error)) {
        LOG_ERROR("Failed to parse watchdog settings");
        return -1;
    }
    return 0;
}

bool build_chip_freqs(json_t* root, const miner_config& config) {
    std::string list;
    list.reserve(CHIP_LIST_VALUES * 6);
    for (chip_freqs miner_config::*chips : CHAIN_CHIP_FIELDS) {
        for (int32_t freq : config.*chips) {
            list += std::to_string(freq);
            list += ':';
        }
    }
    list.pop_back();
    return json_object_set_new(root, "bitmain-chip-freq", json_string(list.c_str())) == 0;
}

} // namespace

int chain_position(int32_t id) {
    const int32_t* found = std::find(std::begin(CHAIN_IDS), std::end(CHAIN_IDS), id);
    return found == std::end(CHAIN_IDS) ? -1 : static_cast<int>(found - std::begin(CHAIN_IDS));
}

bool verify_chain_id(int32_t id) {
    return chain_position(id) >= 0;
}

int parse_miner_config(json_t* root, miner_config* config) {
    assert(root != nullptr && config != nullptr);
    if (!json_is_object(root)) {
        LOG_ERROR("Root element must be an object");
        return -1;
    }
    parse_fan_settings(root, config);
    if (parse_freq_and_volt_settings(root, config) != 0 ||
        parse_autotune_settings(root, config) != 0 || parse_chip_freqs(root, config) != 0 ||
        parse_watchdog_settings(root, config) != 0) {
        return -1;
    }
    return 0; // this model has no misc settings
}

int build_miner_config(json_t* root, const miner_config& config) {
    assert(root != nullptr);
    const char* failed = nullptr;
    if (!write_keys(root, FAN_KEYS, config)) {
        failed = "Failed to build fan settings";
    } else if (!write_keys(root, GLOBAL_KEYS, config) || !write_keys(root, CHAIN_KEYS, config)) {
        failed = "Failed to build global freq/volt settings";
    } else if (!write_keys(root, AUTOTUNE_KEYS, config)) {
        failed = "Failed to build autotune settings";
    } else if (!build_chip_freqs(root, config)) {
        failed = "Failed to build chip freqs settings";
    } else if (!write_keys(root, WATCHDOG_KEYS, config)) {
        failed = "Failed to build watchdog settings";
    }
    if (failed != nullptr) {
        LOG_ERROR("%s", failed);
        return -1;
    }
    return 0; // this model has no misc settings
}
