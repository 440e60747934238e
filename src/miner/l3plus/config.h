// The Antminer L3+ settings codec: the "bitmain-" members of the daemon's configuration file
// to and from the fields of miner_config.
#pragma once

#include "miner/config.h"

#include <jansson.h>

#include <cstdint>

constexpr int CV_MAX_CHAINS = 4;

// The model's chain ids; position k of every per-chain structure belongs to CHAIN_IDS[k].
inline constexpr int32_t CHAIN_IDS[CV_MAX_CHAINS] = {1, 2, 3, 4};

bool verify_chain_id(int32_t id);

enum fan_modes {
    FAN_MODE_AUTO = 0,
    FAN_MODE_MANUAL = 1,
    FAN_MODE_IMMERSION = 2, // not representable in the file; the fan setter changes nothing
};

// Fills the model fields of `config` from the parsed file (pools untouched). 0, or -1 after
// the first failing group; a bad fan group is reset to defaults instead of failing.
int parse_miner_config(json_t* root, miner_config* config);

// Sets the model members of `config` into `root`. 0, or -1 after the first failing group.
int build_miner_config(json_t* root, const miner_config& config);
