#include "../test_root.h"
#include "fixtures.h"
#include "miner/config.h"
#include "miner/support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <string>

using testing::HasSubstr;

namespace {

struct Transaction : testing::Test {
    test_root root;

    void TearDown() override { cgminer_config_reset(); }

    ino_t inode() {
        struct stat st {};
        stat(root.path("/config/cgminer.conf").c_str(), &st);
        return st.st_ino;
    }

    // The end's result and how long it took.
    std::pair<int, std::chrono::milliseconds> timed_end() {
        auto start = std::chrono::steady_clock::now();
        int result = cgminer_config_end_changes();
        return {result, std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start)};
    }
};

} // namespace

TEST_F(Transaction, PoolSetter) {
    struct row {
        int index;
        const char* url;
        const char* passwd;
        int result;
        size_t pool_count;
    };
    // On the three pools of l3plus.conf, then on a record cut to one.
    const row rows[] = {
        {0, "stratum+tcp://ltc.farm-pool.example:3333", "x", 0, 3},
        {0, "stratum+tcp://other.example:3333", "x", 1, 3},
        {2, "stratum+tcp://backup.ltc.example:3333", nullptr, 0, 3},
        {3, "u", "p", -1, 3},
        {-1, "u", "p", -1, 3},
    };
    for (const row& r : rows) {
        install_config(root, "l3plus.conf");
        ASSERT_EQ(cgminer_config_begin_changes(), 0);
        EXPECT_EQ(cgminer_pool(r.index, r.url, r.index == 2 ? "corvane.backup" : "corvane.l3p-017",
                               r.passwd),
                  r.result)
            << r.index << " " << r.url;
        EXPECT_EQ(shared_miner_config().pool_count, r.pool_count);
        cgminer_config_reset();
    }
    ASSERT_EQ(cgminer_config_begin_changes(), 0);
    shared_miner_config().pool_count = 1;
    EXPECT_EQ(cgminer_pool(2, "u", "w", "p"), -1);
    EXPECT_EQ(cgminer_pool(1, "u", "w", nullptr), 1); // appends
    EXPECT_EQ(shared_miner_config().pool_count, 2u);
    EXPECT_STREQ(shared_miner_config().pools[1].passwd, "");
    std::string log = root.log();
    EXPECT_THAT(log, HasSubstr("Invalid poolid - 3, it should be less than 3"));
    EXPECT_THAT(log, HasSubstr("Invalid poolid - -1, it should be less or equeal to 3"));
    EXPECT_THAT(log, HasSubstr("Invalid poolid - 2, it should be less or equeal to 1"));
}

// Setting what is already there stores nothing: the file is not replaced and the watcher is not
// paused (a pause holds the end for a second).
TEST_F(Transaction, NothingChangedNothingWritten) {
    install_config(root, "l3plus.conf");
    ino_t before = inode();
    ASSERT_EQ(cgminer_config_begin_changes(), 0);
    EXPECT_EQ(
        cgminer_pool(1, "stratum+tcp://ltc-eu.farm-pool.example:8888", "corvane.l3p-017", "123"),
        0);
    auto [result, took] = timed_end();
    EXPECT_EQ(result, 0);
    EXPECT_LT(took.count(), 900);
    EXPECT_EQ(inode(), before);
    EXPECT_EQ(root.read("/config/cgminer.conf"), fixture("l3plus.conf"));
    EXPECT_FALSE(miner_config_is_loaded());
    EXPECT_EQ(cgminer_pool(0, "u", "w", "p"), -1); // the end closed the transaction
    EXPECT_THAT(root.log(), HasSubstr("Miner config is not loaded!"));
}

TEST_F(Transaction, ChangeIsStoredWithTheWatcherPaused) {
    install_config(root, "minimal.conf");
    ASSERT_EQ(cgminer_config_begin_changes(), 0);
    EXPECT_EQ(cgminer_pool(0, "stratum+tcp://new.example:3333", "w", "p"), 1);
    auto [result, took] = timed_end();
    EXPECT_EQ(result, 1);
    EXPECT_GE(took.count(), 1000);
    std::string stored = root.read("/config/cgminer.conf");
    EXPECT_THAT(stored, HasSubstr("\"url\" : \"stratum+tcp://new.example:3333\",\n\"user\" : "
                                  "\"w\",\n\"pass\" : \"p\"\n"));
    EXPECT_THAT(stored, HasSubstr("\"api-allow\" : \"W:0/0\""));
}

// A failed begin or store leaves the file as it was; the end clears the record all the same.
TEST_F(Transaction, FailuresKeepTheFile) {
    root.write("/config/cgminer.conf", "{\"pools\": [");
    EXPECT_EQ(cgminer_config_begin_changes(), -1);
    EXPECT_FALSE(miner_config_is_loaded());
    EXPECT_EQ(cgminer_config_end_changes(), 0);
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
