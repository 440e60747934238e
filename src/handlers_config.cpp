// Readers of the pool, chain, chip and watchdog sections: the server's payloads turned into
// setter calls on the shared record of an open change bracket.
#include "handlers.h"

#include "log.h"
#include "miner/l3plus/support.h"
#include "miner/support.h"
#include "util.h"

#include <array>

namespace {

const char* const POOL_SLOTS[CV_MAX_POOLS] = {"main", "reserved", "reserved2"};

} // namespace

int config_pool(int slot, json_t* pool) {
    const char* url = nullptr;
    const char* worker = nullptr;
    const char* password = nullptr;
    json_error_t error;
    if (json_unpack_ex(pool, &error, 0, "{s:s, s:s, s?s}", "stratum_url", &url, "worker", &worker,
                       "password", &password) != 0) {
        LOG_ERROR("%s", error.text);
        return -1;
    }
    return cgminer_pool(slot, url, worker, password);
}

int config_pools(json_t* payload) {
    if (json_object_get(payload, "main") == nullptr) {
        LOG_ERROR("Pools configuration failed, at least the main pool must be specified");
        return -1;
    }
    for (int slot = 0; slot < static_cast<int>(CV_MAX_POOLS); slot++) {
        json_t* pool = json_object_get(payload, POOL_SLOTS[slot]);
        if (pool == nullptr) {
            cgminer_pool(slot, "", "", "");
        } else if (config_pool(slot, pool) < 0) {
            LOG_ERROR("Failed to config pool[%d]", slot);
            return -1;
        }
    }
    return 0;
}

int config_chain(json_t* payload) {
    const char* id = nullptr;
    int use_global_freq = 0;
    int use_global_volt = 0;
    int freq = 0;
    double volt = 0.0;
    json_t* chips = nullptr;
    json_error_t error;
    if (json_unpack_ex(payload, &error, 0, "{s:s, s:b, s:b, s:i, s:F, s:o}", "id", &id,
                       "use_global_freq", &use_global_freq, "use_global_volt", &use_global_volt,
                       "freq", &freq, "volt", &volt, "chips", &chips) != 0) {
        LOG_ERROR("Failed to parse config chain request - %s", error.text);
        return -1;
    }
    // Checked before narrowing to the setters' 8 bits, where chain 257 would become chain 1.
    const int32_t chain = leading_int(id);
    if (!verify_chain_id(chain)) {
        LOG_ERROR("Invalid chain id: %d", chain);
        return -1;
    }
    const auto chain_id = static_cast<uint8_t>(chain);
    const int freq_result =
        cgminer_chain_freq(chain_id, static_cast<uint16_t>(use_global_freq ? 0 : freq));
    if (freq_result < 0) {
        return -1;
    }
    const int volt_result = cgminer_chain_volt(chain_id, use_global_volt ? 0.0 : volt);
    if (volt_result < 0) {
        return -1;
    }
    const int chips_result = config_chips(chain, chips);
    if (chips_result < 0) {
        return -1;
    }
    return freq_result > 0 || volt_result > 0 || chips_result > 0 ? 1 : 0;
}

int config_chains(json_t* chains) {
    if (!json_is_array(chains)) {
        LOG_ERROR("Failed to parse chains settings, it should be an array");
        return -1;
    }
    bool changed = false;
    size_t index = 0;
    json_t* chain = nullptr;
    json_array_foreach(chains, index, chain) {
        const int result = config_chain(chain);
        if (result < 0) {
            return -1;
        }
        changed = changed || result > 0;
    }
    return changed ? 1 : 0;
}

int config_chips(int32_t chain, json_t* chips) {
    if (!json_is_array(chips)) {
        LOG_ERROR("Chips must be an array object");
        return -1;
    }
    // Every chip gets a value: one the array does not mention follows its chain again.
    std::array<int32_t, CV_MAX_CHIPS> freqs{};
    size_t index = 0;
    json_t* entry = nullptr;
    json_array_foreach(chips, index, entry) {
        const char* id = nullptr;
        int freq = 0;
        if (json_unpack(entry, "{s:s, s:i}", "id", &id, "freq", &freq) != 0) {
            c_text text(json_dumps(entry, JSON_INDENT(2) | JSON_ENCODE_ANY));
            LOG_ERROR("Chain %d: failed to parse chip settings:\n%s", chain,
                      text ? log_escape_lines(text.get()).c_str() : "");
            continue;
        }
        const int32_t chip = leading_int(id);
        if (chip < 1 || chip > CV_MAX_CHIPS) {
            LOG_ERROR("Chain %d: chip %d is out of range", chain, chip);
            continue;
        }
        freqs[static_cast<size_t>(chip - 1)] = freq;
    }
    bool changed = false;
    for (int chip = 1; chip <= CV_MAX_CHIPS; chip++) {
        const int result =
            cgminer_chip_freq(static_cast<uint8_t>(chain), static_cast<uint8_t>(chip),
                              static_cast<uint16_t>(freqs[static_cast<size_t>(chip - 1)]));
        if (result < 0) {
            LOG_ERROR("Chain %d: failed to set frequency to chip %d", chain, chip);
            return -1;
        }
        changed = changed || result > 0;
    }
    return changed ? 1 : 0;
}

int config_watchdog(json_t* payload) {
    const char* min_hr = nullptr;
    const char* max_xchips = nullptr;
    const char* max_temp = nullptr;
    json_error_t error;
    if (json_unpack_ex(payload, &error, 0, "{s?s, s?s, s?s}", "min_hr", &min_hr, "max_xchips",
                       &max_xchips, "max_temp", &max_temp) != 0) {
        LOG_ERROR("Failed to parse watchdog req - %s", error.text);
        return -1;
    }
    auto number = [](const char* text) { return text != nullptr ? leading_int(text) : 0; };
    return cgminer_watchdog(number(min_hr), number(max_xchips), number(max_temp));
}
