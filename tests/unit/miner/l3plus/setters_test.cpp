#include "miner/l3plus/support.h"

#include "../../test_root.h"
#include "../fixtures.h"
#include "miner/support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>

using testing::HasSubstr;

namespace {

struct Setters : testing::Test {
    test_root root;

    void SetUp() override { install_config(root, "l3plus.conf"); }
    void TearDown() override {
        cgminer_config_reset();
        miner_set_auto_tune(false);
    }
};

// l3plus.conf as the setters see it.
const char* const BASE =
    "ctrl=1 pwm=80 rpmoff=0 silent=1 target=75 freq=384 volt=8 chains=0,400,0,378 "
    "volts=0,9,-1,0 profile=7 stages=111 timer=24 hw=3 prec=80 min=350 step=6 after=4 reboot=1 "
    "minhr=400 maxx=3 tempoff=95 trigger=1 chips= 1.5=400 1.70=420 2.72=365 4.72=450";

struct row {
    const char* name;
    std::function<int()> call;
    int result;
    std::string changed; // a part of the description after a change
};

const row ROWS[] = {
    {"chain freq kept", [] { return cgminer_chain_freq(2, 400); }, 0, ""},
    {"chain freq to global", [] { return cgminer_chain_freq(2, 0); }, 1, "chains=0,0,0,378"},
    {"chain 5", [] { return cgminer_chain_freq(5, 1); }, -1, ""},
    {"chain 0", [] { return cgminer_chain_volt(0, 1.0); }, -1, ""},
    {"chain volt truncated", [] { return cgminer_chain_volt(1, 8.5); }, 1, "volts=8,9,-1,0"},
    {"chain volt kept", [] { return cgminer_chain_volt(2, 9.0); }, 0, ""},
    {"volt not a number", [] { return cgminer_global_volt(NAN); }, -1, ""},
    {"volt beyond", [] { return cgminer_chain_volt(3, 3e9); }, -1, ""},
    {"last chip of chain 3", [] { return cgminer_chip_freq(3, 72, 500); }, 1, " 3.72=500 "},
    {"chip kept", [] { return cgminer_chip_freq(1, 5, 400); }, 0, ""},
    {"chip 0", [] { return cgminer_chip_freq(1, 0, 400); }, -1, ""},
    {"chip 73", [] { return cgminer_chip_freq(1, 73, 400); }, -1, ""},
    {"chip of chain 9", [] { return cgminer_chip_freq(9, 1, 400); }, -1, ""},
    {"manual slow", [] { return cgminer_fans(FAN_MODE_MANUAL, 10, 0, true); }, 1, "pwm=20 "},
    {"manual kept", [] { return cgminer_fans(FAN_MODE_MANUAL, 80, 0, true); }, 0, ""},
    {"auto", [] { return cgminer_fans(FAN_MODE_AUTO, 50, 70, false); }, 1,
     "ctrl=0 pwm=80 rpmoff=0 silent=0 target=70 "},
    {"immersion", [] { return cgminer_fans(FAN_MODE_IMMERSION, 50, 70, false); }, 0, ""},
    {"profile kept", [] { return cgminer_perf_profile("7"); }, 0, ""},
    {"profile 12", [] { return cgminer_perf_profile("12"); }, 1, "profile=12 "},
    {"profile unknown", [] { return cgminer_perf_profile("13"); }, 1, "profile=0 "},
    {"global freq kept", [] { return cgminer_global_freq(384); }, 0, ""},
    {"global freq", [] { return cgminer_global_freq(400); }, 1, "freq=400 "},
    {"global volt", [] { return cgminer_global_volt(9.5); }, 1, "volt=9 "},
    {"global volt, same integer", [] { return cgminer_global_volt(8.5); }, 1, "volt=8 "},
    {"watchdog kept", [] { return cgminer_watchdog(400, 3, 95); }, 0, ""},
    {"watchdog temp", [] { return cgminer_watchdog(400, 3, 0); }, 1, "maxx=3 tempoff=0 "},
    {"autotuner kept",
     [] { return cgminer_autotuner(true, true, true, 24, 6, 350, 80, 4, 3, false); }, 0, ""},
    {"autotuner off",
     [] { return cgminer_autotuner(false, false, false, 10, 6, 350, 80, 4, 3, false); }, 1,
     "stages=000 timer=0 hw=3 "},
    {"autotuner resets chips",
     [] { return cgminer_autotuner(true, true, true, 24, 6, 350, 80, 4, 3, true); }, 1,
     "trigger=1 chips="},
};

} // namespace

TEST_F(Setters, ChangeKeepOrRefuse) {
    for (const row& r : ROWS) {
        ASSERT_EQ(cgminer_config_begin_changes(), 0);
        ASSERT_EQ(describe_settings(shared_miner_config()), BASE);
        EXPECT_EQ(r.call(), r.result) << r.name;
        std::string after = describe_settings(shared_miner_config()) + " ";
        if (r.result == 1) {
            EXPECT_THAT(after, HasSubstr(r.changed)) << r.name;
        } else {
            EXPECT_EQ(after, std::string(BASE) + " ") << r.name;
        }
        cgminer_config_reset();
    }
    EXPECT_THAT(root.log(), HasSubstr("Invalid chip 73, it should be between 1 and 72"));
}

// Only a change marks the transaction: after every other row the end has nothing to store.
TEST_F(Setters, KeepingOrRefusingStoresNothing) {
    ASSERT_EQ(cgminer_config_begin_changes(), 0);
    for (const row& r : ROWS) {
        if (r.result != 1) {
            EXPECT_EQ(r.call(), r.result) << r.name;
        }
    }
    EXPECT_EQ(cgminer_config_end_changes(), 0);
    for (const row& r : ROWS) {
        EXPECT_EQ(r.call(), -1) << r.name << " outside a transaction";
    }
}

TEST_F(Setters, AutotunerSetsAutoTuning) {
    ASSERT_EQ(cgminer_config_begin_changes(), 0);
    EXPECT_EQ(cgminer_autotuner(false, true, false, 0, 2, 400, 75, 2, 0, false), 1);
    EXPECT_TRUE(miner_is_auto_tune());
    EXPECT_EQ(cgminer_autotuner(false, false, true, 5, 2, 400, 75, 2, 0, false), 1);
    EXPECT_FALSE(miner_is_auto_tune());
}

TEST(ChipLookups, EffectiveFrequencyAndHashRate) {
    miner_config config{};
    config.bitmain_freq = 384;
    config.bitmain_freq2 = 400;
    config.chain2_chip_freqs[1] = 420;
    config.chain4_chip_freqs[71] = 65535;
    struct row {
        int32_t chain;
        int32_t chip;
        uint16_t freq;
        bool custom;
    };
    const row rows[] = {
        {1, 1, 384, false}, {2, 1, 400, false}, {2, 2, 420, true}, {4, 72, 65535, true}};
    for (const row& r : rows) {
        EXPECT_EQ(chip_freq(r.chain, r.chip, config), r.freq) << r.chain << "." << r.chip;
        EXPECT_EQ(chip_custom_freq(r.chain, r.chip, config), r.custom) << r.chain << "." << r.chip;
    }

    json_error_t error;
    json_ptr chiphr(
        json_loads(R"([{"Asic00": "1.25", "Asic71": "0.5x", "Asic01": 3.0}, {"Asic00": "inf"}, 7])",
                   0, &error));
    struct rate_row {
        json_t* dump;
        int32_t chain;
        int32_t chip;
        double rate;
    };
    json_ptr not_array(json_object());
    const rate_row rates[] = {
        {chiphr.get(), 1, 1, 1.25}, {chiphr.get(), 1, 72, 0.5},   {chiphr.get(), 1, 2, 0.0},
        {chiphr.get(), 1, 3, 0.0},  {chiphr.get(), 2, 1, 0.0},    {chiphr.get(), 3, 1, 0.0},
        {chiphr.get(), 4, 1, 0.0},  {not_array.get(), 1, 1, 0.0}, {nullptr, 1, 1, 0.0},
    };
    for (const rate_row& r : rates) {
        EXPECT_EQ(chip_hashrate(r.chain, r.chip, r.dump), r.rate) << r.chain << "." << r.chip;
    }
}
