#include "miner/metrics.h"

#include "test_root.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

TEST(MetricsMessage, CopiesTheSnapshotMemberByMemberInOrderButNoNonNumber) {
    test_root root;
    cv_metrics metrics{};
    metrics.timestamp = 1700000000;
    metrics.hashrate = 0.504;
    metrics.hashrate_avg = 0.5;
    metrics.freq = 384;
    metrics.temp = 68;
    metrics.watt = 800.5;
    metrics.hw_errors = 7;
    metrics.fan_list[0] = {1, 60, 4800};
    metrics.fan_count = 1;
    metrics.chain_list[0] = {CHAIN_IDS[0], 72, 0.126, 384, 8, 200.125, 3, 60, 46};
    metrics.chain_count = 2; // the second could not be read

    c_text text(
        json_dumps(build_metrics_message(metrics).get(), JSON_COMPACT | JSON_REAL_PRECISION(10)));
    EXPECT_STREQ(text.get(),
                 R"({"type":"metrics","timestamp":1700000000,"hash_rate":0.504,)"
                 R"("hashrate_avg":0.5,"freq":384.0,"temp":68,"watt":800.5,"hw_errors":7,)"
                 R"("fans":[{"id":"1","speed":60,"rpm":4800}],"chains":[)"
                 R"({"id":"1","num_chips":72,"hash_rate":0.126,"freq":384.0,"volt":8.0,)"
                 R"("watt":200.125,"hw_errors":3,"chip_temp":60,"pcb_temp":46},)"
                 R"({"id":"0","num_chips":0,"hash_rate":0.0,"freq":0.0,"volt":0.0,)"
                 R"("watt":0.0,"hw_errors":0,"chip_temp":0,"pcb_temp":0}]})");

    // Rather than send a non-number, the message fails.
    metrics.hashrate = 1.0 / 0.0;
    EXPECT_EQ(build_metrics_message(metrics), nullptr);
    EXPECT_NE(root.log().find("Failed to build metrics message"), std::string::npos);
}
