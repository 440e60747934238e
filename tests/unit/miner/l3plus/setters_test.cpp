#include "miner/l3plus/support.h"

#include "../../test_root.h"
#include "handles.h"
#include "miner/support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
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

// The record as the file would hold it.
std::string describe(const miner_config& config) {
    json_ptr built(json_object());
    EXPECT_EQ(build_miner_config(built.get(), config), 0);
    c_text text(json_dumps(built.get(), JSON_COMPACT));
    return text.get();
}

struct row {
    const char* name;
    std::function<int()> call;
    int result;
    std::string changed; // a part of the description after a change
};

const row ROWS[] = {
    {"chain freq kept", [] { return cgminer_chain_freq(2, 400); }, 0, ""},
    {"chain freq to global", [] { return cgminer_chain_freq(2, 0); }, 1, R"("bitmain-freq2":"0")"},
    {"chain 5", [] { return cgminer_chain_freq(5, 1); }, -1, ""},
    {"chain 0", [] { return cgminer_chain_volt(0, 1.0); }, -1, ""},
    {"chain volt truncated", [] { return cgminer_chain_volt(1, 8.5); }, 1,
     R"("bitmain-voltage1":"8")"},
    {"chain volt kept", [] { return cgminer_chain_volt(2, 9.0); }, 0, ""},
    {"volt not a number", [] { return cgminer_global_volt(NAN); }, -1, ""},
    {"volt beyond", [] { return cgminer_chain_volt(3, 3e9); }, -1, ""},
    {"last chip of chain 3", [] { return cgminer_chip_freq(3, 72, 500); }, 1, ":500:0:"},
    {"chip kept", [] { return cgminer_chip_freq(1, 5, 400); }, 0, ""},
    {"chip 0", [] { return cgminer_chip_freq(1, 0, 400); }, -1, ""},
    {"chip 73", [] { return cgminer_chip_freq(1, 73, 400); }, -1, ""},
    {"chip of chain 9", [] { return cgminer_chip_freq(9, 1, 400); }, -1, ""},
    {"pool kept",
     [] { return cgminer_pool(2, "stratum+tcp://backup.ltc.example:3333", "corvane.backup", ""); },
     0, ""},
    {"pool 3", [] { return cgminer_pool(3, "u", "w", "p"); }, -1, ""},
    {"pool -1", [] { return cgminer_pool(-1, "u", "w", "p"); }, -1, ""},
    {"manual slow", [] { return cgminer_fans(FAN_MODE_MANUAL, 10, 0, true); }, 1,
     R"("bitmain-fan-pwm":"20","bitmain-fan-ctrl":true)"},
    {"manual kept", [] { return cgminer_fans(FAN_MODE_MANUAL, 80, 0, true); }, 0, ""},
    {"auto", [] { return cgminer_fans(FAN_MODE_AUTO, 50, 70, false); }, 1,
     R"("bitmain-fan-pwm":"80","bitmain-fan-ctrl":false,"bitmain-silentstart":false,)"
     R"("bitmain-target-temp":"70")"},
    {"immersion", [] { return cgminer_fans(FAN_MODE_IMMERSION, 50, 70, false); }, 0, ""},
    {"profile kept", [] { return cgminer_perf_profile("7"); }, 0, ""},
    {"profile 12", [] { return cgminer_perf_profile("12"); }, 1,
     R"("bitmain-autodownscale-profile":"12")"},
    {"profile unknown", [] { return cgminer_perf_profile("13"); }, 1,
     R"("bitmain-autodownscale-profile":"0")"},
    {"global freq kept", [] { return cgminer_global_freq(384); }, 0, ""},
    {"global freq", [] { return cgminer_global_freq(400); }, 1, R"("bitmain-freq":"400")"},
    {"global volt", [] { return cgminer_global_volt(9.5); }, 1, R"("bitmain-voltage":"9")"},
    {"global volt, same integer", [] { return cgminer_global_volt(8.5); }, 1,
     R"("bitmain-voltage":"8")"},
    {"watchdog kept", [] { return cgminer_watchdog(400, 3, 95); }, 0, ""},
    {"watchdog temp", [] { return cgminer_watchdog(400, 3, 0); }, 1,
     R"("bitmain-maxx":"3","bitmain-trigger-reboot":"1","bitmain-tempoff":"0")"},
    {"autotuner kept",
     [] { return cgminer_autotuner(true, true, true, 24, 6, 350, 80, 4, 3, false); }, 0, ""},
    {"autotuner off",
     [] { return cgminer_autotuner(false, false, false, 10, 6, 350, 80, 4, 3, false); }, 1,
     R"("bitmain-autodownscale-timer":"0","bitmain-autodownscale-hw":"3")"},
    {"autotuner resets chips",
     [] { return cgminer_autotuner(true, true, true, 24, 6, 350, 80, 4, 3, true); }, 1,
     R"("bitmain-chip-freq":"0:0:0:0:0:0:)"},
};

} // namespace

// Only a change marks the transaction: after a row that keeps or refuses, the end neither
// replaces the file nor pauses the watcher (a pause holds the end a second).
TEST_F(Setters, ChangeKeepOrRefuse) {
    auto inode = [this] {
        struct stat st {};
        stat(root.path("/config/cgminer.conf").c_str(), &st);
        return st.st_ino;
    };
    const ino_t before = inode();
    ASSERT_EQ(cgminer_config_begin_changes(), 0);
    const std::string base = describe(shared_miner_config());
    for (const row& r : ROWS) {
        ASSERT_EQ(cgminer_config_begin_changes(), 0);
        EXPECT_EQ(r.call(), r.result) << r.name;
        std::string after = describe(shared_miner_config());
        if (r.result == 1) {
            EXPECT_THAT(after, HasSubstr(r.changed)) << r.name;
            continue;
        }
        EXPECT_EQ(after, base) << r.name;
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(cgminer_config_end_changes(), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
        EXPECT_EQ(inode(), before) << r.name;
        EXPECT_EQ(r.call(), -1) << r.name << " outside a transaction";
    }
    EXPECT_THAT(root.log(), HasSubstr("Invalid chip 73, it should be between 1 and 72"));
    EXPECT_THAT(root.log(), HasSubstr("Miner config is not loaded!"));
}

TEST_F(Setters, AutotunerSetsAutoTuning) {
    ASSERT_EQ(cgminer_config_begin_changes(), 0);
    EXPECT_EQ(cgminer_autotuner(false, true, false, 0, 2, 400, 75, 2, 0, false), 1);
    EXPECT_TRUE(miner_is_auto_tune());
    EXPECT_EQ(cgminer_autotuner(false, false, true, 5, 2, 400, 75, 2, 0, false), 1);
    EXPECT_FALSE(miner_is_auto_tune());
}
