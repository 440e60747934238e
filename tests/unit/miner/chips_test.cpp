#include "../test_root.h"
#include "fixtures.h"
#include "miner/collect.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

using testing::HasSubstr;

TEST(ChipMetrics, SettingsAndRatesOfOneChain) {
    test_root root;
    install_config(root, "l3plus.conf");
    root.write(
        "/www/pages/cgi-bin/chip_hr.json",
        R"({"chiphr": [{"Asic00": "9"}, {"Asic00": "0.95", "Asic01": "2.1", "Asic71": "0.3"}]})");
    std::unique_ptr<cv_chip_metrics> metrics = cgminer_chip_metrics(2);
    ASSERT_TRUE(metrics);
    EXPECT_EQ(metrics->chain_id, 2);
    struct row {
        int chip;
        double rate;
        uint16_t freq;
        bool custom;
        cv_chip_state state;
    };
    // Chain 2 runs at 400; its chip 72 at 365 of its own.
    const row rows[] = {{1, 0.95, 400, false, CHIP_STATE_SLOW},
                        {2, 2.1, 400, false, CHIP_STATE_FAST},
                        {3, 0.0, 400, false, CHIP_STATE_UNKNOWN},
                        {72, 0.3, 365, true, CHIP_STATE_UNSTABLE}};
    for (const row& r : rows) {
        const cv_chip_info& chip = metrics->chips[r.chip - 1];
        EXPECT_EQ(chip.chip_id, r.chip);
        EXPECT_EQ(chip.hash_rate, r.rate) << r.chip;
        EXPECT_EQ(chip.freq, r.freq) << r.chip;
        EXPECT_EQ(chip.custom_freq, r.custom) << r.chip;
        EXPECT_EQ(chip.state, r.state) << r.chip;
    }

    // Without the dump the chips are still reported, with no hash rate.
    std::remove(root.path("/www/pages/cgi-bin/chip_hr.json").c_str());
    metrics = cgminer_chip_metrics(4);
    ASSERT_TRUE(metrics);
    EXPECT_EQ(metrics->chips[71].freq, 450);
    EXPECT_EQ(metrics->chips[71].state, CHIP_STATE_UNKNOWN);
    std::string log = root.log();
    EXPECT_THAT(log, HasSubstr("WARN Failed to load chip hash rates from "));
    EXPECT_THAT(log, HasSubstr("WARN Failed to parse chip hash rates from dump\n"));

    root.write("/config/cgminer.conf", "{");
    EXPECT_FALSE(cgminer_chip_metrics(1));
    EXPECT_THAT(root.log(), HasSubstr("Failed to load cgminer config from "));
}
