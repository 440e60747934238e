// The mining daemon's configuration file: the settings the agent understands as a plain
// record, loading the file into one, and merging one back into the file without losing what
// the agent does not know.
#pragma once

#include "miner/watcher.h"

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

constexpr size_t CV_MAX_POOLS = 3;
constexpr int CV_MAX_CHIPS = 72;

struct pool_config {
    char url[512];
    char worker[50];
    char passwd[50]; // empty when none was given
};

// Chain N (1..4) owns bitmain_freqN, bitmain_voltageN and chainN_chip_freqs; 0 in a chain or
// chip field means the global (chain) value applies. Always built from an all-zero record.
struct miner_config {
    pool_config pools[CV_MAX_POOLS]; // main, first reserve, second reserve
    size_t pool_count;
    bool bitmain_fan_ctrl; // fixed speed (true) or regulated to the target temperature
    int32_t bitmain_fan_pwm;
    int32_t bitmain_target_temp;
    bool bitmain_fan_rpm_off; // read and written back, never changed by the agent
    bool bitmain_silentstart;
    int32_t bitmain_freq;
    int32_t bitmain_voltage;
    int32_t bitmain_freq1;
    int32_t bitmain_freq2;
    int32_t bitmain_freq3;
    int32_t bitmain_freq4;
    int32_t bitmain_voltage1;
    int32_t bitmain_voltage2;
    int32_t bitmain_voltage3;
    int32_t bitmain_voltage4;
    int32_t chain1_chip_freqs[CV_MAX_CHIPS];
    int32_t chain2_chip_freqs[CV_MAX_CHIPS];
    int32_t chain3_chip_freqs[CV_MAX_CHIPS];
    int32_t chain4_chip_freqs[CV_MAX_CHIPS];
    int32_t bitmain_autodownscale_profile;
    bool bitmain_autodownscale;            // autotuner stage 1
    bool bitmain_autodownscale_watch;      // stage 2
    bool bitmain_autodownscale_watchtimer; // stage 3
    int32_t bitmain_autodownscale_timer;
    int32_t bitmain_autodownscale_hw;
    int32_t bitmain_autodownscale_prec;
    int32_t bitmain_autodownscale_min;
    int32_t bitmain_autodownscale_step;
    int32_t bitmain_autodownscale_after;
    bool bitmain_autodownscale_reboot; // read and written back, never changed by the agent
    int32_t bitmain_minhr;
    int32_t bitmain_maxx;
    int32_t bitmain_tempoff;
    int32_t bitmain_trigger_reboot; // read and written back, never changed by the agent
};

// The daemon's configuration file, "/config/cgminer.conf" (relocated by the platform).
std::string cgminer_config_path();

// Serialises every read and write of the daemon's configuration file by the agent.
std::mutex& config_mutex();

// Reads and parses the file into `config`. 0, or -1 (logged) when it cannot be read or parsed.
int miner_load_config(const std::string& path, miner_config* config);

// Merges `config` into the file, keeping every member the agent does not write; the file is
// replaced so that a crash leaves the old file or the new one. 0, or -1 (logged; the old file
// stays). `written`, when given, receives what was renamed in.
int miner_update_config(const std::string& path, const miner_config& config,
                        watcher_own_write* written = nullptr);
