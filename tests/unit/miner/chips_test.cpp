#include "../test_root.h"
#include "miner/collect.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

using testing::HasSubstr;

// l3plus.conf: global 384, chains 0, 400, 0, 378; chips 1.5 400, 2.72 365, 4.72 450.
TEST(ChipMetrics, SettingsAndRatesOfEachChain) {
    test_root root;
    install_config(root, "l3plus.conf");
    root.write("/www/pages/cgi-bin/chip_hr.json",
               R"({"chiphr": [{"Asic00": "1.25", "Asic01": 3.0, "Asic71": "0.5x"},
                              {"Asic00": "0.95", "Asic01": "2.1", "Asic71": "0.3"},
                              7, {"Asic00": "inf"}]})");
    struct row {
        int chain;
        int chip;
        double rate;
        uint16_t freq;
        bool custom;
        cv_chip_state state;
    };
    const row rows[] = {
        {1, 1, 1.25, 384, false, CHIP_STATE_SLOW},     {1, 2, 0.0, 384, false, CHIP_STATE_UNKNOWN},
        {1, 72, 0.5, 384, false, CHIP_STATE_UNSTABLE}, {1, 5, 0.0, 400, true, CHIP_STATE_UNKNOWN},
        {2, 1, 0.95, 400, false, CHIP_STATE_SLOW},     {2, 2, 2.1, 400, false, CHIP_STATE_FAST},
        {2, 72, 0.3, 365, true, CHIP_STATE_UNSTABLE},  {3, 1, 0.0, 384, false, CHIP_STATE_UNKNOWN},
        {4, 1, 0.0, 378, false, CHIP_STATE_UNKNOWN},   {4, 72, 0.0, 450, true, CHIP_STATE_UNKNOWN},
    };
    for (const row& r : rows) {
        std::unique_ptr<cv_chip_metrics> metrics = cgminer_chip_metrics(r.chain);
        ASSERT_TRUE(metrics);
        EXPECT_EQ(metrics->chain_id, r.chain);
        const cv_chip_info& chip = metrics->chips[r.chip - 1];
        std::string where = std::to_string(r.chain) + "." + std::to_string(r.chip);
        EXPECT_EQ(chip.chip_id, r.chip) << where;
        EXPECT_EQ(chip.hash_rate, r.rate) << where;
        EXPECT_EQ(chip.freq, r.freq) << where;
        EXPECT_EQ(chip.custom_freq, r.custom) << where;
        EXPECT_EQ(chip.state, r.state) << where;
    }

    // Without the dump the chips are still reported, with no hash rate.
    std::remove(root.path("/www/pages/cgi-bin/chip_hr.json").c_str());
    std::unique_ptr<cv_chip_metrics> metrics = cgminer_chip_metrics(4);
    ASSERT_TRUE(metrics);
    EXPECT_EQ(metrics->chips[71].freq, 450);
    EXPECT_THAT(root.log(), HasSubstr("WARN Failed to load chip hash rates from "));
    EXPECT_THAT(root.log(), HasSubstr("WARN Failed to parse chip hash rates from dump\n"));

    root.write("/config/cgminer.conf", "{");
    EXPECT_FALSE(cgminer_chip_metrics(1));
    EXPECT_THAT(root.log(), HasSubstr("Failed to load cgminer config from "));
}
