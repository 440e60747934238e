#include "fixtures.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

std::string fixture(const std::string& name) {
    std::filesystem::path path = std::filesystem::path(__FILE__).parent_path() / "data" / name;
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw std::runtime_error("missing fixture " + path.string());
    }
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

void install_config(const test_root& root, const std::string& name) {
    root.write("/config/cgminer.conf", fixture(name));
}

// Every model field in one line, chips as "chain.chip=freq" for those set.
std::string describe_settings(const miner_config& c) {
    char text[1024];
    snprintf(
        text, sizeof(text),
        "ctrl=%d pwm=%d rpmoff=%d silent=%d target=%d freq=%d volt=%d chains=%d,%d,%d,%d "
        "volts=%d,%d,%d,%d profile=%d stages=%d%d%d timer=%d hw=%d prec=%d min=%d step=%d "
        "after=%d reboot=%d minhr=%d maxx=%d tempoff=%d trigger=%d chips=",
        c.bitmain_fan_ctrl, c.bitmain_fan_pwm, c.bitmain_fan_rpm_off, c.bitmain_silentstart,
        c.bitmain_target_temp, c.bitmain_freq, c.bitmain_voltage, c.bitmain_freq1, c.bitmain_freq2,
        c.bitmain_freq3, c.bitmain_freq4, c.bitmain_voltage1, c.bitmain_voltage2,
        c.bitmain_voltage3, c.bitmain_voltage4, c.bitmain_autodownscale_profile,
        c.bitmain_autodownscale, c.bitmain_autodownscale_watch, c.bitmain_autodownscale_watchtimer,
        c.bitmain_autodownscale_timer, c.bitmain_autodownscale_hw, c.bitmain_autodownscale_prec,
        c.bitmain_autodownscale_min, c.bitmain_autodownscale_step, c.bitmain_autodownscale_after,
        c.bitmain_autodownscale_reboot, c.bitmain_minhr, c.bitmain_maxx, c.bitmain_tempoff,
        c.bitmain_trigger_reboot);
    std::string out = text;
    const int32_t* chains[] = {c.chain1_chip_freqs, c.chain2_chip_freqs, c.chain3_chip_freqs,
                               c.chain4_chip_freqs};
    for (int k = 0; k < 4; k++) {
        for (int chip = 0; chip < CV_MAX_CHIPS; chip++) {
            if (chains[k][chip] != 0) {
                out += " " + std::to_string(k + 1) + "." + std::to_string(chip + 1) + "=" +
                       std::to_string(chains[k][chip]);
            }
        }
    }
    return out;
}
