#include "miner/collect.h"

#include "../test_root.h"
#include "fakes.h"
#include "handles.h"
#include "miner/support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <string>

using testing::ContainsRegex;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::MatchesRegex;

namespace {

// The statistics object of a healthy L3+: four chains, two fans.
const char* const HEALTHY_STATS =
    R"({"STATS": 0, "ID": "L30", "Elapsed": 3600, "Calls": 0, "GHS 5s": "504.12",
        "GHS av": 503.5, "miner_count": 4, "frequency": "384", "fan_num": 2,
        "fan1": 4800, "fan2": 4920, "temp_num": 4, "temp_max": 60,
        "temp1": 45, "temp2": 47, "temp3": 46, "temp4": 44,
        "temp2_1": 55, "temp2_2": 71, "temp2_3": 64, "temp2_4": 0,
        "chain_acn1": 72, "chain_acn2": 72, "chain_acn3": 71, "chain_acn4": 72,
        "chain_rate1": "126.03", "chain_rate2": "125.5", "chain_rate3": "127", "chain_rate4": "x",
        "chain_hw1": 3, "chain_hw2": 5, "chain_hw3": 7, "chain_hw4": 11,
        "freq_avg1": 384.0, "freq_avg2": 378.5, "freq_avg3": 384.0, "freq_avg4": 390.25,
        "voltage1": 8, "voltage2": 9, "voltage3": 10,
        "consumption1": 200.5, "consumption2": 201, "consumption3": 202.25, "consumption4": 203})";

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

std::unique_ptr<cv_metrics> metrics_of(json_t* stats) {
    json_ptr reply = parse_json(stats_reply(stats, ","));
    return cgminer_metrics_from_reply(reply.get());
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
    for (uint32_t i = 0; i < m.chain_count; i++) {
        const cv_chain_stats& c = m.chain_list[i];
        n +=
            snprintf(text + n, sizeof(text) - static_cast<size_t>(n),
                     " chain %d: %d chips %g GH %g MHz %g V %g W %d hw %d/%d C;", c.id, c.num_chips,
                     c.hash_rate, c.freq, c.volt, c.watt, c.hw_errors, c.chip_temp, c.pcb_temp);
    }
    for (uint32_t i = 0; i < m.fan_count; i++) {
        n += snprintf(text + n, sizeof(text) - static_cast<size_t>(n), " fan %d: %d%% %d rpm;",
                      m.fan_list[i].id, m.fan_list[i].speed, m.fan_list[i].rpm);
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

std::string error_line(const std::string& message) {
    return "ERROR miner/collect\\.cpp:[0-9]+: " + message + "\n";
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

// A daemon that does not answer gives no snapshot: tests/e2e/test_monitoring.py.
TEST(Metrics, SnapshotAndStateFollowTheProcessAndTheUser) {
    test_root root;
    fake_firmware firmware(root);
    fake_daemon daemon;
    json_ptr stats = parse_json(HEALTHY_STATS);
    daemon.script("stats", {stats_reply(stats.get())});
    EXPECT_EQ(state_now(), MINER_STATE_UNKNOWN);

    firmware.set_running(true);
    time_t before = time(nullptr);
    std::unique_ptr<cv_metrics> m = cgminer_metrics();
    ASSERT_NE(m, nullptr) << root.log();
    EXPECT_EQ(m->state, MINER_STATE_MINING);
    EXPECT_GE(m->timestamp, before);
    // A probe of the API follows the exchange only while the process runs.
    const char* const request = "{\"command\": \"stats\"}";
    EXPECT_TRUE(wait_until([&] { return daemon.requests().size() == 3; }));
    EXPECT_THAT(daemon.requests(), ElementsAre(request, request, ""));
    // "temp_max" 60 is raised to the hottest chip; a rate that is no number counts as 0; a
    // chain without a voltage figure has none, not the one of the chain before.
    EXPECT_EQ(describe(*m), "up 3600, 0.50412/0.5035 GH, 384 MHz, 71 C, 806.75 W, 26 hw;"
                            " chain 1: 72 chips 0.12603 GH 384 MHz 8 V 200.5 W 3 hw 55/45 C;"
                            " chain 2: 72 chips 0.1255 GH 378.5 MHz 9 V 201 W 5 hw 71/47 C;"
                            " chain 3: 71 chips 0.127 GH 384 MHz 10 V 202.25 W 7 hw 64/46 C;"
                            " chain 4: 72 chips 0 GH 390.25 MHz 0 V 203 W 11 hw 0/44 C;"
                            " fan 1: 80% 4800 rpm; fan 2: 82% 4920 rpm;");
    EXPECT_EQ(root.log(), "");

    with(stats.get(), "GHS 5s", json_string("0"));
    daemon.script("stats", {stats_reply(stats.get())});
    EXPECT_EQ(state_now(), MINER_STATE_INITIALIZING);

    ASSERT_EQ(cgminer_stop(), 0);
    ASSERT_TRUE(wait_until([] { return miner_is_stopped() && !cgminer_action_in_progress(); }));
    EXPECT_EQ(state_now(), MINER_STATE_STOPPED);
    firmware.set_running(false);
    EXPECT_EQ(state_now(), MINER_STATE_STOPPED);
    cgminer_support_reset();
}

TEST(Metrics, SpikeRule) {
    json_ptr stats = parse_json(HEALTHY_STATS);
    with(stats.get(), "GHS av", json_real(500.0));
    const struct {
        const char* rate_5s;
        double hashrate;
    } cases[] = {{"1500", 0.5},       {"1000", 1.0}, {"900", 0.9},
                 {"12.5 GH", 0.0125}, {"", 0.0},     {"nan", 0.0}};
    for (const auto& c : cases) {
        with(stats.get(), "GHS 5s", json_string(c.rate_5s));
        std::unique_ptr<cv_metrics> m = metrics_of(stats.get());
        ASSERT_NE(m, nullptr);
        EXPECT_DOUBLE_EQ(m->hashrate, c.hashrate) << c.rate_5s;
        EXPECT_DOUBLE_EQ(m->hashrate_avg, 0.5);
    }
}

TEST(Metrics, RepliesWithoutTheFiguresYieldNothing) {
    test_root root;
    for (const char* reply :
         {R"({"STATS": [{}]})", R"({"STATS": [{}, {}, {}]})", R"({"STATS": {}})", R"([{}, {}])"}) {
        json_ptr json = parse_json(reply);
        EXPECT_EQ(cgminer_metrics_from_reply(json.get()), nullptr) << reply;
    }
    EXPECT_EQ(count_of(root.log(), ": Failed to unpack STATS from api response\n"), 4);

    // Required members missing or of the wrong type; "state" is optional but must be text.
    const struct {
        const char* member;
        json_t* value;
    } broken[] = {{"Elapsed", nullptr},
                  {"GHS 5s", json_real(1.0)},
                  {"GHS av", json_integer(503)},
                  {"state", json_integer(1)}};
    for (const auto& b : broken) {
        json_ptr stats = parse_json(HEALTHY_STATS);
        with(stats.get(), b.member, b.value);
        EXPECT_EQ(metrics_of(stats.get()), nullptr) << b.member;
    }
    EXPECT_EQ(count_of(root.log(), ": Failed to unpack global metrics\n"), 4);
}

TEST(Metrics, AChainThatCannotBeReadStaysEmpty) {
    test_root root;
    json_ptr stats = parse_json(HEALTHY_STATS);
    with(stats.get(), "chain_rate2", nullptr);
    with(stats.get(), "chain_hw4", json_string("11"));
    with(stats.get(), "miner_count", nullptr);
    with(stats.get(), "consumption3", nullptr); // optional: no power figure
    std::unique_ptr<cv_metrics> m = metrics_of(stats.get());
    ASSERT_NE(m, nullptr);
    // Chain 2's 71 C does not count; totals are over the chains read.
    EXPECT_EQ(describe(*m), "up 3600, 0.50412/0.5035 GH, 384 MHz, 64 C, 200.5 W, 10 hw;"
                            " chain 1: 72 chips 0.12603 GH 384 MHz 8 V 200.5 W 3 hw 55/45 C;"
                            " chain 0: 0 chips 0 GH 0 MHz 0 V 0 W 0 hw 0/0 C;"
                            " chain 3: 71 chips 0.127 GH 384 MHz 10 V 0 W 7 hw 64/46 C;"
                            " chain 0: 0 chips 0 GH 0 MHz 0 V 0 W 0 hw 0/0 C;"
                            " fan 1: 80% 4800 rpm; fan 2: 82% 4920 rpm;");
    // Positions, not chain ids, name the chains in the log.
    EXPECT_THAT(root.log(), MatchesRegex("WARN Unable to parse the number of chains\n" +
                                         error_line("Couldn't parse data for chain 1") +
                                         error_line("Couldn't parse data for chain 3")));
}

TEST(Metrics, Fans) {
    test_root root;
    const struct {
        json_t* fan_num; // null: absent
        json_t* fan1;
        json_t* fan2;
        const char* fans;
    } cases[] = {
        {json_integer(2), json_integer(0), json_integer(4800), " fan 2: 80% 4800 rpm;"},
        {json_integer(2), json_integer(7200), json_integer(59),
         " fan 1: 100% 7200 rpm; fan 2: 0% 59 rpm;"},
        {json_integer(1), json_integer(4860), json_integer(4800), " fan 1: 81% 4860 rpm;"},
        {json_integer(-3), json_integer(4860), json_integer(4800), ""},
        {nullptr, json_string("4860"), json_integer(-600), ""},
        {json_string("2"), nullptr, json_integer(600), " fan 2: 10% 600 rpm;"},
    };
    for (const auto& c : cases) {
        json_ptr stats = parse_json(HEALTHY_STATS);
        with(stats.get(), "fan_num", c.fan_num);
        with(stats.get(), "fan1", c.fan1);
        with(stats.get(), "fan2", c.fan2);
        std::unique_ptr<cv_metrics> m = metrics_of(stats.get());
        ASSERT_NE(m, nullptr);
        std::string text = describe(*m);
        EXPECT_EQ(text.substr(text.find("44 C;") + 5), c.fans);
    }
    EXPECT_THAT(root.log(), HasSubstr("WARN Unable to parse the number of fans\n"
                                      "WARN Failed to parse data for fan 1\n"));
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
    std::string log = root.log();
    EXPECT_THAT(log, HasSubstr("WARN Failed to parse pool #0 stats: "));
    EXPECT_THAT(log, HasSubstr("WARN Failed to parse pool #2 stats: "));
    EXPECT_THAT(log, HasSubstr("WARN Ignoring service fee pool #7, only 4 are reported\n"));

    EXPECT_EQ(pools_of("").substr(0, 8), "-, -, -;");
    for (const char* reply : {R"({"STATUS": []})", R"({"POOLS": {}})"}) {
        json_ptr json = parse_json(reply);
        EXPECT_EQ(cgminer_pools_stats_from_reply(json.get()), nullptr) << reply;
    }
    EXPECT_THAT(root.log(), ContainsRegex(error_line("Failed to unpack POOLS from api "
                                                     "response: .+") +
                                          error_line("POOLS must be an array object")));
}

TEST(Conversions, ChipState) {
    // Boundaries of the ratio to the expected rate at 222 MHz, and a chip without a clock.
    EXPECT_EQ(chip_state(1.0, 222), CHIP_STATE_FAST);
    EXPECT_EQ(chip_state(0.85, 222), CHIP_STATE_FAST);
    EXPECT_EQ(chip_state(0.6, 444), CHIP_STATE_UNSTABLE);
    EXPECT_EQ(chip_state(0.5, 222), CHIP_STATE_SLOW);
    EXPECT_EQ(chip_state(2.5, 222), CHIP_STATE_UNSTABLE);
    EXPECT_EQ(chip_state(1.0, 0), CHIP_STATE_UNSTABLE);
    EXPECT_EQ(chip_state(0.0, 0), CHIP_STATE_UNKNOWN);
}
