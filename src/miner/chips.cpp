// The chips of one chain: their settings from the daemon's configuration file and their hash
// rates from the firmware's chip hash-rate dump.
#include "handles.h"
#include "log.h"
#include "miner/collect.h"
#include "miner/l3plus/support.h"
#include "platform.h"

std::unique_ptr<cv_chip_metrics> cgminer_chip_metrics(int32_t chain) {
    std::string path = cgminer_config_path();
    miner_config config{};
    if (miner_load_config(path, &config) != 0) {
        LOG_ERROR("Failed to load cgminer config from %s", path.c_str());
        return nullptr;
    }
    auto metrics = std::make_unique<cv_chip_metrics>();
    metrics->chain_id = chain;

    // Without the dump every chip reports no hash rate, which is still worth sending.
    std::string dump_path = platform_path("/www/pages/cgi-bin/chip_hr.json");
    json_error_t error;
    json_ptr dump(json_load_file(dump_path.c_str(), 0, &error));
    if (!dump) {
        LOG_WARN("Failed to load chip hash rates from %s", dump_path.c_str());
    }
    json_t* chiphr = nullptr;
    if (json_unpack(dump.get(), "{s:o}", "chiphr", &chiphr) != 0) {
        LOG_WARN("Failed to parse chip hash rates from dump");
        chiphr = nullptr;
    }
    for (int chip = 1; chip <= CV_MAX_CHIPS; chip++) {
        cv_chip_info& info = metrics->chips[chip - 1];
        info.chip_id = chip;
        info.hash_rate = chip_hashrate(chain, chip, chiphr);
        info.freq = chip_freq(chain, chip, config);
        info.custom_freq = chip_custom_freq(chain, chip, config);
        info.state = chip_state(info.hash_rate, info.freq);
    }
    return metrics;
}
