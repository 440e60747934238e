#include "miner/metrics.h"

#include "test_root.h"

#include <gtest/gtest.h>

#include <string>

// The members and their values are checked against the daemon's figures end to end in
// tests/e2e/test_monitoring.py; a chain that could not be read goes out with id "0".
TEST(MetricsMessage, AnUnreadChainGoesOutAsIdZeroButANonNumberFailsIt) {
    test_root root;
    cv_metrics metrics{};
    metrics.chain_count = 1;
    c_text text(json_dumps(build_metrics_message(metrics).get(), JSON_COMPACT));
    EXPECT_NE(std::string(text.get()).find(R"("chains":[{"id":"0","num_chips":0,)"),
              std::string::npos);

    // Rather than send a non-number, the message fails.
    metrics.hashrate = 1.0 / 0.0;
    EXPECT_EQ(build_metrics_message(metrics), nullptr);
    EXPECT_NE(root.log().find("Failed to build metrics message"), std::string::npos);
}
