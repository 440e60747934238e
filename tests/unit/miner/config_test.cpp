#include "miner/config.h"

#include "../test_root.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

using testing::HasSubstr;

// Each data/NAME.conf, loaded and stored unchanged, gives data/NAME.stored: unknown members
// kept, false members and a zero watchdog temperature gone, "multi-version" last, pools cut
// to three and at character boundaries, a bad fan member reset, every "bitmain-" value read
// with its defaults, caps and conversions. The bytes are those of the firmware's tools: the
// library's indent-2 text after its two `sed` edits. Files that cannot be loaded are rows of
// tests/unit/handlers_config_test.cpp; here a file that turned unreadable after the load is
// not stored over.
TEST(Store, StoresWhatTheFirmwareWouldWrite) {
    test_root root;
    std::string path = cgminer_config_path();
    for (std::string name : {"l3plus", "minimal", "tricky", "pools", "numbers"}) {
        install_config(root, name + ".conf");
        miner_config config{}, again{};
        ASSERT_EQ(miner_load_config(path, &config), 0) << name;
        ASSERT_EQ(miner_update_config(path, config), 0) << name;
        EXPECT_EQ(root.read("/config/cgminer.conf"), fixture(name + ".stored")) << name;
        EXPECT_FALSE(root.exists("/config/cgminer.conf.tmp"));
        ASSERT_EQ(miner_load_config(path, &again), 0) << name;
        if (name != "pools") { // its fan reset leaves the file's target temperature
            EXPECT_EQ(memcmp(&config, &again, sizeof(config)), 0) << name;
        }
        root.write("/config/cgminer.conf", "[1, 2]");
        EXPECT_EQ(miner_update_config(path, config), -1) << name;
        EXPECT_EQ(root.read("/config/cgminer.conf"), "[1, 2]");
    }
    std::remove(path.c_str());
    EXPECT_EQ(miner_update_config(path, miner_config{}), -1);
    EXPECT_FALSE(root.exists("/config/cgminer.conf"));
    EXPECT_THAT(root.log(), HasSubstr("Failed to parse fan settings - "));
    EXPECT_THAT(root.log(), HasSubstr("\nINFO Resetting fan settings to defaults\n"));
}
