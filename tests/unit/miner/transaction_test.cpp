#include "../test_root.h"
#include "fixtures.h"
#include "miner/config.h"
#include "miner/support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>

using testing::HasSubstr;

namespace {

struct Transaction : testing::Test {
    test_root root;

    void TearDown() override { cgminer_config_reset(); }
};

} // namespace

TEST_F(Transaction, PoolSetter) {
    install_config(root, "l3plus.conf");
    ASSERT_EQ(cgminer_config_begin_changes(), 0);
    shared_miner_config().pool_count = 1;
    struct row {
        int index;
        const char* passwd;
        int result;
        size_t pool_count;
    };
    const row rows[] = {
        {0, "x", 0, 1}, {0, "y", 1, 1},  {2, "p", -1, 1},  {1, nullptr, 1, 2},
        {2, "p", 1, 3}, {3, "p", -1, 3}, {-1, "p", -1, 3},
    };
    for (const row& r : rows) {
        const char* url = r.index == 0 ? "stratum+tcp://ltc.farm-pool.example:3333" : "u";
        EXPECT_EQ(cgminer_pool(r.index, url, "corvane.l3p-017", r.passwd), r.result) << r.index;
        EXPECT_EQ(shared_miner_config().pool_count, r.pool_count) << r.index;
    }
    EXPECT_STREQ(shared_miner_config().pools[1].passwd, "");
    EXPECT_STREQ(shared_miner_config().pools[0].passwd, "y");
    std::string log = root.log();
    EXPECT_THAT(log, HasSubstr("Invalid poolid - 2, it should be less or equeal to 1"));
    EXPECT_THAT(log, HasSubstr("Invalid poolid - 3, it should be less than 3"));
    EXPECT_THAT(log, HasSubstr("Invalid poolid - -1, it should be less or equeal to 3"));
}

TEST_F(Transaction, ChangeIsStoredWithTheWatcherPaused) {
    install_config(root, "minimal.conf");
    ASSERT_EQ(cgminer_config_begin_changes(), 0);
    EXPECT_EQ(cgminer_pool(0, "stratum+tcp://new.example:3333", "w", "p"), 1);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(cgminer_config_end_changes(), 1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_FALSE(miner_config_is_loaded());
    EXPECT_THAT(root.read("/config/cgminer.conf"),
                HasSubstr("\"url\" : \"stratum+tcp://new.example:3333\",\n\"user\" : \"w\",\n"
                          "\"pass\" : \"p\"\n}\n],\n\"api-listen\": true,\n"));
}

// A failed begin or store leaves the file as it was; the end clears the record all the same.
TEST_F(Transaction, FailuresKeepTheFile) {
    root.write("/config/cgminer.conf", "{\"pools\": [");
    EXPECT_EQ(cgminer_config_begin_changes(), -1);
    EXPECT_FALSE(miner_config_is_loaded());
    EXPECT_EQ(root.read("/config/cgminer.conf"), "{\"pools\": [");

    install_config(root, "minimal.conf");
    ASSERT_EQ(cgminer_config_begin_changes(), 0);
    ASSERT_EQ(cgminer_pool(0, "u", "w", "p"), 1);
    root.write("/config/cgminer.conf.tmp/blocker", ""); // the new file cannot be written
    EXPECT_EQ(cgminer_config_end_changes(), -1);
    EXPECT_EQ(root.read("/config/cgminer.conf"), fixture("minimal.conf"));
    EXPECT_FALSE(miner_config_is_loaded());
    std::string log = root.log();
    EXPECT_THAT(log, HasSubstr("Failed to load cgminer config from " + cgminer_config_path()));
    EXPECT_THAT(log, HasSubstr("Failed to save config file to " + cgminer_config_path()));
}
