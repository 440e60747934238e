#include "handlers.h"

#include "test_root.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using testing::HasSubstr;

// Ids 1 to 72, the chain id and "custom_freq" only where set are checked in
// tests/e2e/test_config_commands.py.
TEST(ChipMetrics, SerialisesEveryChipOfTheChain) {
    cv_chip_metrics metrics{};
    metrics.chips[0] = {1, 1500.0, 400, true, CHIP_STATE_FAST};
    metrics.chips[1].state = CHIP_STATE_SLOW;
    metrics.chips[2].state = CHIP_STATE_UNSTABLE;
    json_ptr reply = serialize_chip_metrics(metrics);
    json_t* chips = json_object_get(reply.get(), "chips");
    c_text first(json_dumps(json_array_get(chips, 0), JSON_COMPACT));
    EXPECT_STREQ(first.get(),
                 R"({"id":"1","hr":1.5,"freq":400,"state":"fast","custom_freq":true})");
    for (size_t i : {1, 2, 71}) {
        EXPECT_STREQ(json_string_value(json_object_get(json_array_get(chips, i), "state")),
                     i == 1   ? "slow"
                     : i == 2 ? "unstable"
                              : "unknown");
    }
}

TEST(ChipMetrics, RefusesBadRequests) {
    struct {
        const char* message;
        const char* logged;
    } cases[] = {
        {R"({"request_id": "r1", "chain_id": 2})",
         "Failed to parse chip metrics request:\n    {\n"},
        {R"({"chain_id": "2"})", "Failed to parse chip metrics request"},
        {R"({"request_id": "r1", "chain_id": "0"})", "Invalid chain id: 0"},
        {R"({"request_id": "r1", "chain_id": "99999999999"})", "Invalid chain id: 2147483647"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        test_root root;
        EXPECT_EQ(agent_report_chip_metrics(parse_json(c.message).get()), -1);
        EXPECT_THAT(root.log(), HasSubstr(c.logged));
    }
}
