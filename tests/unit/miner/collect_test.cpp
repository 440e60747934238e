#include "miner/collect.h"

#include "../test_root.h"
#include "fakes.h"
#include "handles.h"
#include "miner/support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

using testing::HasSubstr;

namespace {

// Sets `member` to `value` (taken), or removes it when value is null.
void with(json_t* stats, const char* member, json_t* value) {
    if (value != nullptr) {
        json_object_set_new(stats, member, value);
    } else {
        json_object_del(stats, member);
    }
}

// A "stats" reply around `stats`. The daemon writes the two objects back to back, which
// the API client repairs; replies parsed here directly need the comma.
std::string stats_reply(json_t* stats, const char* separator = "") {
    c_text text(json_dumps(stats, 0));
    return R"({"STATUS": [{"STATUS": "S", "Code": 70}], "STATS": [{"Type": "Antminer L3+"})" +
           std::string(separator) + text.get() + R"(], "id": 1})";
}

// The statistics object of a healthy L3+: four chains, two fans.
json_ptr healthy_stats() {
    return parse_json(fixture("stats-healthy.json"));
}

// The state of a fresh snapshot; -1 without one.
int state_now() {
    std::unique_ptr<cv_metrics> metrics = cgminer_metrics();
    return metrics ? metrics->state : -1;
}

// Every figure of a snapshot but state and time, so one comparison checks them all.
std::string describe(const cv_metrics& m) {
    char text[1024];
    int n = snprintf(text, sizeof(text), "up %d, %g/%g GH, %g MHz, %d C, %g W, %d hw;", m.uptime,
                     m.hashrate, m.hashrate_avg, m.freq, m.temp, m.watt, m.hw_errors);
    for (uint32_t i = 0; i < m.fan_count; i++) {
        n += snprintf(text + n, sizeof(text) - static_cast<size_t>(n), " fan %d: %d%% %d rpm;",
                      m.fan_list[i].id, m.fan_list[i].speed, m.fan_list[i].rpm);
    }
    for (uint32_t i = 0; i < m.chain_count; i++) {
        const cv_chain_stats& c = m.chain_list[i];
        n +=
            snprintf(text + n, sizeof(text) - static_cast<size_t>(n),
                     " chain %d: %d chips %g GH %g MHz %g V %g W %d hw %d/%d C;", c.id, c.num_chips,
                     c.hash_rate, c.freq, c.volt, c.watt, c.hw_errors, c.chip_temp, c.pcb_temp);
    }
    return text;
}

std::string describe(const cv_pool_stats& p) {
    const char* words[] = {"-", "active", "alive", "dead"};
    if (p.status == POOL_NOT_CONFIGURED) {
        return "-";
    }
    return std::string(words[p.status]) + " " + p.diff + " " + std::to_string(p.accepted) + "/" +
           std::to_string(p.rejected) + "/" + std::to_string(p.stale);
}

std::string describe(const cv_pools_stats& p) {
    std::string text =
        describe(p.main) + ", " + describe(p.reserved) + ", " + describe(p.reserved2) + "; fee:";
    for (uint32_t i = 0; i < p.svc_fee_count; i++) {
        text += " " + describe(p.svc_fee_list[i]);
    }
    return text;
}

std::string pool(const char* url, const char* status, int priority, bool active,
                 const char* diff = "65.5K") {
    return std::string(R"({"URL": ")") + url + R"(", "Status": ")" + status + R"(", "Priority": )" +
           std::to_string(priority) + R"(, "Accepted": 100, "Rejected": 2, "Stale": 1, "Diff": ")" +
           diff + R"(", "Stratum Active": )" + (active ? "true" : "false") + "}";
}

std::string pools_of(const std::string& elements) {
    json_ptr reply = parse_json(("{\"STATUS\": [], \"POOLS\": [" + elements + "]}"));
    std::unique_ptr<cv_pools_stats> stats = cgminer_pools_stats_from_reply(reply.get());
    return stats ? describe(*stats) : "null";
}

} // namespace

// A daemon that does not answer gives no snapshot, and the figures of one that does are
// compared with the daemon's own: tests/e2e/test_monitoring.py.
TEST(Metrics, SnapshotAndStateFollowTheProcessAndTheUser) {
    test_root root;
    fake_firmware firmware(root);
    fake_daemon daemon;
    json_ptr stats = healthy_stats();
    daemon.script("stats", {stats_reply(stats.get(), "")});
    EXPECT_EQ(state_now(), MINER_STATE_UNKNOWN);
    firmware.set_running(true);
    EXPECT_EQ(state_now(), MINER_STATE_MINING);
    with(stats.get(), "GHS 5s", json_string("0"));
    daemon.script("stats", {stats_reply(stats.get(), "")});
    EXPECT_EQ(state_now(), MINER_STATE_INITIALIZING);

    ASSERT_EQ(cgminer_stop(), 0);
    ASSERT_TRUE(wait_until([] { return miner_is_stopped() && !cgminer_action_in_progress(); }));
    firmware.set_running(false);
    EXPECT_EQ(state_now(), MINER_STATE_STOPPED);
    cgminer_support_reset();
}

// The healthy figures with some members changed (a null value removes the member).
TEST(Metrics, FiguresOfChangedReplies) {
    test_root root;
    const struct {
        std::vector<std::pair<const char*, json_t*>> edits;
        std::string figures; // a part of the description; "null": no snapshot
    } cases[] = {
        // "temp_max" 60 is raised to the hottest chip; a rate that is no number counts as 0; a
        // chain without a voltage figure has none, not the one of the chain before.
        {{},
         "up 3600, 0.50412/0.5035 GH, 384 MHz, 71 C, 806.75 W, 26 hw;"
         " fan 1: 80% 4800 rpm; fan 2: 82% 4920 rpm;"
         " chain 1: 72 chips 0.12603 GH 384 MHz 8 V 200.5 W 3 hw 55/45 C;"
         " chain 2: 72 chips 0.1255 GH 378.5 MHz 9 V 201 W 5 hw 71/47 C;"
         " chain 3: 71 chips 0.127 GH 384 MHz 10 V 202.25 W 7 hw 64/46 C;"
         " chain 4: 72 chips 0 GH 390.25 MHz 0 V 203 W 11 hw 0/44 C;"},
        // A 5 s rate beyond twice the average is a spike: the average stands in.
        {{{"GHS av", json_real(500.0)}, {"GHS 5s", json_string("1500")}}, "up 3600, 0.5/0.5 GH,"},
        {{{"GHS av", json_real(500.0)}, {"GHS 5s", json_string("1000")}}, "up 3600, 1/0.5 GH,"},
        {{{"GHS 5s", json_string("12.5 GH")}}, "up 3600, 0.0125/0.5035 GH,"},
        {{{"GHS 5s", json_string("nan")}}, "up 3600, 0/0.5035 GH,"},
        // Required members missing or of the wrong type; "state" is optional but must be text.
        {{{"Elapsed", nullptr}}, "null"},
        {{{"GHS av", json_integer(503)}}, "null"},
        {{{"state", json_integer(1)}}, "null"},
        // Chains that cannot be read stay empty: chain 2's 71 C does not count, and totals are
        // over the chains read; a missing power figure is none.
        {{{"chain_rate2", nullptr},
          {"chain_hw4", json_string("11")},
          {"miner_count", nullptr},
          {"consumption3", nullptr}},
         "up 3600, 0.50412/0.5035 GH, 384 MHz, 64 C, 200.5 W, 10 hw;"
         " fan 1: 80% 4800 rpm; fan 2: 82% 4920 rpm;"
         " chain 1: 72 chips 0.12603 GH 384 MHz 8 V 200.5 W 3 hw 55/45 C;"
         " chain 0: 0 chips 0 GH 0 MHz 0 V 0 W 0 hw 0/0 C;"
         " chain 3: 71 chips 0.127 GH 384 MHz 10 V 0 W 7 hw 64/46 C;"
         " chain 0: 0 chips 0 GH 0 MHz 0 V 0 W 0 hw 0/0 C;"},
        // Fans: a stopped one is left out, speeds follow the rpm, capped at 100%.
        {{{"fan1", json_integer(0)}}, "hw; fan 2: 82% 4920 rpm; chain 1"},
        {{{"fan1", json_integer(7200)}, {"fan2", json_integer(59)}},
         "hw; fan 1: 100% 7200 rpm; fan 2: 0% 59 rpm; chain 1"},
        {{{"fan_num", json_integer(1)}, {"fan1", json_integer(4860)}},
         "hw; fan 1: 81% 4860 rpm; chain 1"},
        {{{"fan_num", json_string("2")}, {"fan1", nullptr}, {"fan2", json_integer(600)}},
         "hw; fan 2: 10% 600 rpm; chain 1"},
    };
    for (const auto& c : cases) {
        json_ptr stats = healthy_stats();
        for (const auto& [member, value] : c.edits) {
            with(stats.get(), member, value);
        }
        json_ptr reply = parse_json(stats_reply(stats.get(), ","));
        std::unique_ptr<cv_metrics> m = cgminer_metrics_from_reply(reply.get());
        EXPECT_THAT(m ? describe(*m) : "null", HasSubstr(c.figures));
    }
    for (const char* reply :
         {R"({"STATS": [{}]})", R"({"STATS": [{}, {}, {}]})", R"({"STATS": {}})", R"([{}, {}])"}) {
        EXPECT_EQ(cgminer_metrics_from_reply(parse_json(reply).get()), nullptr) << reply;
    }
}

TEST(Pools, UserAndServiceFeePools) {
    test_root root;
    // The fee pool takes position 1 and the empty slot at position 2 is skipped, so neither
    // reserve is configured.
    EXPECT_EQ(pools_of(pool("stratum+tcp://ltc.example:3333", "Alive", 0, true) + "," +
                       pool("DevFee.stratum+tcp://fee.example:8888", "Alive", 999, false, "") +
                       "," + pool("", "Dead", 2, false)),
              "active 65.5K 100/2/1, -, -; fee: alive 0 100/2/1");
    // A user pool after a fee pool is placed by its position in the whole list.
    EXPECT_EQ(pools_of(pool("a:1", "Dead", 0, false) + "," + pool("DevFee.x", "Alive", 900, true) +
                       "," + pool("b:1", "Alive", 1, true)),
              "dead 65.5K 100/2/1, -, active 65.5K 100/2/1; fee: active 65.5K 100/2/1");
    EXPECT_EQ(root.log(), "");

    // Priority 899 is a user pool; a short URL that is alive is a pool; later positions and
    // unknown states are not reported; long difficulties are cut.
    EXPECT_EQ(pools_of(pool("a", "Alive", 0, false, "12345678901234567890123") + "," +
                       pool("DevFee.x", "Dead", 899, false) + "," + pool("b:1", "Sick", 2, false) +
                       "," + pool("c:1", "Alive", 3, true)),
              "alive 1234567890123456789 100/2/1, dead 65.5K 100/2/1, -; fee:");
    EXPECT_EQ(root.log(), "WARN Unknown pool status: Sick\n");
}

TEST(Pools, BadElementsAndExtraFeePools) {
    test_root root;
    // The broken elements still hold their positions; a fifth fee pool has no room.
    std::string list = R"({"URL": "x"},)" + pool("main:1", "Alive", 0, true) + "," +
                       R"({"URL": "y", "Status": "Alive", "Priority": 1, "Accepted": "1",
                           "Rejected": 0, "Stale": 0, "Diff": "1", "Stratum Active": true})";
    for (int i = 0; i < 5; i++) {
        list += "," + pool(("DevFee" + std::to_string(i)).c_str(), "Alive", 900 + i, true,
                           std::to_string(i).c_str());
    }
    EXPECT_EQ(pools_of(list), "-, active 65.5K 100/2/1, -; fee: active 0 100/2/1 active 1 "
                              "100/2/1 active 2 100/2/1 active 3 100/2/1");

    EXPECT_EQ(pools_of("").substr(0, 8), "-, -, -;");
    for (const char* reply : {R"({"STATUS": []})", R"({"POOLS": {}})"}) {
        json_ptr json = parse_json(reply);
        EXPECT_EQ(cgminer_pools_stats_from_reply(json.get()), nullptr) << reply;
    }
}

TEST(Conversions, ChipStateAndMinerState) {
    // Boundaries of the ratio to the expected rate at 222 MHz, and a chip without a clock.
    for (auto [rate, freq, state] : {std::tuple{0.85, 222, CHIP_STATE_FAST},
                                     {0.6, 444, CHIP_STATE_UNSTABLE},
                                     {0.5, 222, CHIP_STATE_SLOW},
                                     {2.5, 222, CHIP_STATE_UNSTABLE},
                                     {1.0, 0, CHIP_STATE_UNSTABLE},
                                     {0.0, 0, CHIP_STATE_UNKNOWN}}) {
        EXPECT_EQ(chip_state(rate, static_cast<uint16_t>(freq)), state) << rate << " " << freq;
    }
    // The daemon's state words; none or any other word is unknown.
    for (auto [word, state] : {std::pair{"pause", MINER_STATE_STOPPED},
                               {"failure", MINER_STATE_FAILURE},
                               {"Mining", MINER_STATE_UNKNOWN},
                               {nullptr, MINER_STATE_UNKNOWN}}) {
        EXPECT_EQ(parse_miner_state(word), state) << (word != nullptr ? word : "none");
    }
}
