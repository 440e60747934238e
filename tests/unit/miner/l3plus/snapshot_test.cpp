#include "miner/l3plus/support.h"

#include "../../test_root.h"
#include "../fixtures.h"
#include "handles.h"
#include "miner/collect.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

using testing::HasSubstr;

namespace {

struct Snapshot : testing::Test {
    test_root root;

    void TearDown() override { miner_set_auto_tune(false); }

    std::string snapshot_text() {
        json_ptr snapshot = cgminer_config();
        if (!snapshot) {
            return "none";
        }
        c_text text(json_dumps(snapshot.get(), JSON_COMPACT));
        return text.get();
    }
};

} // namespace

TEST_F(Snapshot, ComposesTheWholeFile) {
    install_config(root, "l3plus.conf");
    EXPECT_EQ(snapshot_text(),
              R"({"pools":{"main":{"stratum_url":"stratum+tcp://ltc.farm-pool.example:3333",)"
              R"("worker":"corvane.l3p-017","password":"x"},)"
              R"("reserved":{"stratum_url":"stratum+tcp://ltc-eu.farm-pool.example:8888",)"
              R"("worker":"corvane.l3p-017","password":"123"},)"
              R"("reserved2":{"stratum_url":"stratum+tcp://backup.ltc.example:3333",)"
              R"("worker":"corvane.backup","password":""}},)"
              R"("fans":{"mode":"manual","speed":80,"silent_start":true,"target_temp":75},)"
              R"("perf":{"profile":"7","freq":384,"volt":8},)"
              R"("chains":[{"id":"1","use_global_freq":true,"use_global_volt":true,"freq":384,)"
              R"("volt":8.0,"chips":[{"id":"5","freq":400},{"id":"70","freq":420}]},)"
              R"({"id":"2","use_global_freq":false,"use_global_volt":false,"freq":400,"volt":9.0,)"
              R"("chips":[{"id":"72","freq":365}]},)"
              R"({"id":"3","use_global_freq":true,"use_global_volt":false,"freq":384,"volt":8.0,)"
              R"("chips":[]},)"
              R"({"id":"4","use_global_freq":false,"use_global_volt":true,"freq":378,"volt":8.0,)"
              R"("chips":[{"id":"72","freq":450}]}],)"
              R"("autotuner":{"stage1":true,"stage2":true,"stage3":true,"stage3_interval":24,)"
              R"("downclock_step":6,"min_freq":350,"hashrate_deviation":80,"test_time":4,)"
              R"("down_freq_hw":3},)"
              R"("watchdog":{"min_hr":400,"max_xchips":3,"max_temp":95}})");
    EXPECT_TRUE(miner_is_auto_tune());
    EXPECT_TRUE(cgminer_autotune_in_progress());
}

TEST_F(Snapshot, DefaultsAndFailures) {
    miner_set_auto_tune(true);
    install_config(root, "minimal.conf");
    std::string text = snapshot_text();
    EXPECT_THAT(text, HasSubstr(R"("pools":{"main":{)"));
    EXPECT_THAT(text, HasSubstr(R"("password":"x"}},"fans":{"mode":"auto","speed":0,)"));
    EXPECT_THAT(text, HasSubstr(R"("watchdog":{"min_hr":null,"max_xchips":null,"max_temp":null})"));
    EXPECT_FALSE(miner_is_auto_tune());

    root.write("/config/cgminer.conf", R"({"pools": [], "bitmain-autodownscale-profile": "13"})");
    EXPECT_THAT(snapshot_text(), HasSubstr(R"({"pools":{},"fans":)"));
    EXPECT_THAT(snapshot_text(), HasSubstr(R"("perf":{"profile":"0",)"));

    root.write("/config/cgminer.conf", R"({"pools": [], "bitmain-freq": 384})");
    EXPECT_EQ(snapshot_text(), "none");
    EXPECT_THAT(root.log(), HasSubstr("Failed to load miner config " + cgminer_config_path()));
}

TEST(Profiles, NamesAndIds) {
    for (int id = 0; id <= 12; id++) {
        EXPECT_EQ(profile_id_to_profile(static_cast<uint8_t>(id)), std::to_string(id));
        EXPECT_EQ(profile_to_profile_id(std::to_string(id).c_str()), id);
    }
    EXPECT_STREQ(profile_id_to_profile(13), "0");
    EXPECT_STREQ(profile_id_to_profile(255), "0");
    for (const char* name : {"13", "", "07", "high"}) {
        EXPECT_EQ(profile_to_profile_id(name), 0) << name;
    }
}
