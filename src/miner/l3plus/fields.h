// The per-chain fields of miner_config by chain position (0..3, the order of CHAIN_IDS), so
// that the codec, the setters and the snapshot select a chain's fields in one way.
#pragma once

#include "miner/config.h"
#include "miner/l3plus/config.h"

#include <cstdint>

// Position of `id` in CHAIN_IDS, or -1 when it is not a chain of this model.
int chain_position(int32_t id);

inline constexpr int32_t miner_config::*CHAIN_FREQ_FIELDS[CV_MAX_CHAINS] = {
    &miner_config::bitmain_freq1, &miner_config::bitmain_freq2, &miner_config::bitmain_freq3,
    &miner_config::bitmain_freq4};

inline constexpr int32_t miner_config::*CHAIN_VOLT_FIELDS[CV_MAX_CHAINS] = {
    &miner_config::bitmain_voltage1, &miner_config::bitmain_voltage2,
    &miner_config::bitmain_voltage3, &miner_config::bitmain_voltage4};

using chip_freqs = int32_t[CV_MAX_CHIPS];
inline constexpr chip_freqs miner_config::*CHAIN_CHIP_FIELDS[CV_MAX_CHAINS] = {
    &miner_config::chain1_chip_freqs, &miner_config::chain2_chip_freqs,
    &miner_config::chain3_chip_freqs, &miner_config::chain4_chip_freqs};
