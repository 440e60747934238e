#include "miner/collect.h"

#include "../test_root.h"
#include "fakes.h"
#include "handles.h"
#include "miner/api.h"
#include "miner/support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
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

json_ptr parse(const char* text) {
    json_error_t error;
    json_ptr json(json_loads(text, 0, &error));
    EXPECT_TRUE(json) << error.text << " in " << text;
    return json;
}

json_ptr healthy_stats() {
    return parse(HEALTHY_STATS);
}

// A "stats" reply around `stats`. The daemon writes the two objects back to back, which
// the API client repairs; replies parsed here directly need the comma.
std::string stats_reply(json_t* stats, const char* separator = "") {
    c_text text(json_dumps(stats, 0));
    return R"({"STATUS": [{"STATUS": "S", "Code": 70, "Msg": "CGMiner stats"}], "STATS": [)"
           R"({"CGMiner": "4.9.0", "Type": "Antminer L3+"})" +
           std::string(separator) + text.get() + R"(], "id": 1})";
}

std::unique_ptr<cv_metrics> metrics_of(json_t* stats) {
    json_ptr reply = parse(stats_reply(stats, ",").c_str());
    return cgminer_metrics_from_reply(reply.get());
}

int count_of(const std::string& text, const std::string& part) {
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        count++;
    }
    return count;
}

// The state of a fresh snapshot; -1 without one.
int state_now() {
    std::unique_ptr<cv_metrics> metrics = cgminer_metrics();
    return metrics ? metrics->state : -1;
}

std::string error_line(const std::string& message) {
    return "ERROR miner/collect\\.cpp:[0-9]+: " + message + "\n";
}

std::string pool(const char* url, const char* status, int priority, bool active,
                 const char* diff = "65.5K") {
    return std::string(R"({"POOL": 0, "URL": ")") + url + R"(", "Status": ")" + status +
           R"(", "Priority": )" + std::to_string(priority) +
           R"(, "Accepted": 100, "Rejected": 2, "Stale": 1, "Diff": ")" + diff +
           R"(", "Stratum Active": )" + (active ? "true" : "false") + "}";
}

std::unique_ptr<cv_pools_stats> pools_of(const std::string& elements) {
    json_ptr reply = parse(("{\"STATUS\": [], \"POOLS\": [" + elements + "]}").c_str());
    return cgminer_pools_stats_from_reply(reply.get());
}

} // namespace

TEST(Metrics, SnapshotOfAHealthyMiner) {
    test_root root;
    fake_firmware firmware(root);
    firmware.set_running(true);
    fake_daemon daemon;
    json_ptr stats = healthy_stats();
    daemon.script("stats", {stats_reply(stats.get())});

    time_t before = time(nullptr);
    std::unique_ptr<cv_metrics> m = cgminer_metrics();
    ASSERT_NE(m, nullptr) << root.log();
    EXPECT_GE(m->timestamp, before);
    EXPECT_LE(m->timestamp, time(nullptr));
    EXPECT_EQ(m->state, MINER_STATE_MINING);
    // One exchange, then a probe of the API because the process runs.
    EXPECT_TRUE(wait_until([&] { return daemon.requests().size() == 2; }));
    EXPECT_THAT(daemon.requests(), ElementsAre("{\"command\": \"stats\"}", ""));

    EXPECT_EQ(m->uptime, 3600);
    EXPECT_DOUBLE_EQ(m->hashrate, 0.50412);
    EXPECT_DOUBLE_EQ(m->hashrate_avg, 0.5035);
    EXPECT_DOUBLE_EQ(m->freq, 384.0);
    EXPECT_EQ(m->temp, 71); // "temp_max" 60 raised to the hottest chip
    EXPECT_DOUBLE_EQ(m->watt, 806.75);
    EXPECT_EQ(m->hw_errors, 26);

    ASSERT_EQ(m->chain_count, 4u);
    const cv_chain_stats& c2 = m->chain_list[1];
    EXPECT_EQ(c2.id, 2);
    EXPECT_EQ(c2.num_chips, 72);
    EXPECT_DOUBLE_EQ(c2.hash_rate, 0.1255);
    EXPECT_DOUBLE_EQ(c2.freq, 378.5);
    EXPECT_DOUBLE_EQ(c2.volt, 9.0);
    EXPECT_DOUBLE_EQ(c2.watt, 201.0);
    EXPECT_EQ(c2.hw_errors, 5);
    EXPECT_EQ(c2.chip_temp, 71);
    EXPECT_EQ(c2.pcb_temp, 47);
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(m->chain_list[i].id, CHAIN_IDS[i]);
    }
    // A rate that is no number counts as 0; a chain without a voltage figure has none, not
    // the one of the chain before.
    EXPECT_DOUBLE_EQ(m->chain_list[3].hash_rate, 0.0);
    EXPECT_DOUBLE_EQ(m->chain_list[3].volt, 0.0);

    ASSERT_EQ(m->fan_count, 2u);
    EXPECT_EQ(m->fan_list[0].id, 1);
    EXPECT_EQ(m->fan_list[0].speed, 80);
    EXPECT_EQ(m->fan_list[1].id, 2);
    EXPECT_EQ(m->fan_list[1].speed, 82);
    EXPECT_EQ(m->fan_list[1].rpm, 4920);
    EXPECT_EQ(root.log(), "");
}

TEST(Metrics, StateFollowsTheProcessAndTheUser) {
    test_root root;
    fake_firmware firmware(root);
    fake_daemon daemon;
    json_ptr stats = healthy_stats();
    daemon.script("stats", {stats_reply(stats.get())});

    EXPECT_EQ(state_now(), MINER_STATE_UNKNOWN);
    firmware.set_running(true);
    json_object_set_new(stats.get(), "GHS 5s", json_string("0"));
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
    json_ptr stats = healthy_stats();
    json_object_set_new(stats.get(), "GHS av", json_real(500.0));
    const struct {
        const char* rate_5s;
        double hashrate;
    } cases[] = {
        {"1500", 0.5}, {"1000", 1.0}, {"900", 0.9}, {"12.5 GH", 0.0125},
        {"", 0.0},     {"fast", 0.0}, {"inf", 0.0}, {"nan", 0.0},
    };
    for (const auto& c : cases) {
        json_object_set_new(stats.get(), "GHS 5s", json_string(c.rate_5s));
        std::unique_ptr<cv_metrics> m = metrics_of(stats.get());
        ASSERT_NE(m, nullptr);
        EXPECT_DOUBLE_EQ(m->hashrate, c.hashrate) << c.rate_5s;
        EXPECT_DOUBLE_EQ(m->hashrate_avg, 0.5);
    }
}

TEST(Metrics, RepliesWithoutTheFiguresYieldNothing) {
    test_root root;
    for (const char* reply : {R"({"STATS": [{}]})", R"({"STATS": [{}, {}, {}]})",
                              R"({"STATS": {}})", R"({"STATUS": []})", R"([{}, {}])"}) {
        json_ptr json = parse(reply);
        EXPECT_EQ(cgminer_metrics_from_reply(json.get()), nullptr) << reply;
    }
    EXPECT_EQ(count_of(root.log(), ": Failed to unpack STATS from api response\n"), 5);

    // Required members missing or of the wrong type; "state" is optional but must be text.
    const struct {
        const char* member;
        json_t* value; // null: removed
    } broken[] = {
        {"Elapsed", nullptr},          {"GHS 5s", nullptr},
        {"GHS 5s", json_real(1.0)},    {"GHS av", json_string("503")},
        {"GHS av", json_integer(503)}, {"freq_avg1", nullptr},
        {"state", json_integer(1)},    {"temp_max", json_string("60")},
    };
    for (const auto& b : broken) {
        json_ptr stats = healthy_stats();
        if (b.value != nullptr) {
            json_object_set_new(stats.get(), b.member, b.value);
        } else {
            json_object_del(stats.get(), b.member);
        }
        EXPECT_EQ(metrics_of(stats.get()), nullptr) << b.member;
    }
    EXPECT_THAT(root.log(), ContainsRegex(error_line("Failed to unpack global metrics")));

    json_ptr stats = healthy_stats();
    json_object_set_new(stats.get(), "state", json_string("mining"));
    json_object_del(stats.get(), "temp_max");
    std::unique_ptr<cv_metrics> m = metrics_of(stats.get());
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->temp, 71);
}

TEST(Metrics, AChainThatCannotBeReadStaysEmpty) {
    test_root root;
    json_ptr stats = healthy_stats();
    json_object_del(stats.get(), "chain_rate2");
    json_object_set_new(stats.get(), "chain_hw4", json_string("11"));
    json_object_del(stats.get(), "miner_count");
    json_object_del(stats.get(), "consumption3"); // optional: no power figure
    std::unique_ptr<cv_metrics> m = metrics_of(stats.get());
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->chain_count, 4u);
    cv_chain_stats zero{};
    EXPECT_EQ(memcmp(&m->chain_list[1], &zero, sizeof(zero)), 0);
    EXPECT_EQ(memcmp(&m->chain_list[3], &zero, sizeof(zero)), 0);
    EXPECT_EQ(m->chain_list[2].id, 3);
    EXPECT_DOUBLE_EQ(m->watt, 200.5);
    EXPECT_EQ(m->hw_errors, 3 + 7);
    EXPECT_EQ(m->temp, 64); // chain 2's 71 was not read
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
        std::vector<cv_fan_stats> fans;
    } cases[] = {
        {json_integer(2), json_integer(0), json_integer(4800), {{2, 80, 4800}}},
        {json_integer(2), json_integer(7200), json_integer(59), {{1, 100, 7200}, {2, 0, 59}}},
        {json_integer(1), json_integer(4860), json_integer(4800), {{1, 81, 4860}}},
        {json_integer(0), json_integer(4860), json_integer(4800), {}},
        {json_integer(-3), json_integer(4860), json_integer(4800), {}},
        {nullptr, json_string("4860"), json_integer(-600), {}},
        {json_string("2"), nullptr, json_integer(600), {{2, 10, 600}}},
    };
    for (const auto& c : cases) {
        json_ptr stats = healthy_stats();
        const char* names[] = {"fan_num", "fan1", "fan2"};
        json_t* values[] = {c.fan_num, c.fan1, c.fan2};
        for (int i = 0; i < 3; i++) {
            if (values[i] != nullptr) {
                json_object_set_new(stats.get(), names[i], values[i]);
            } else {
                json_object_del(stats.get(), names[i]);
            }
        }
        cv_metrics m{};
        parse_fans_data(stats.get(), &m);
        ASSERT_EQ(m.fan_count, c.fans.size());
        for (size_t i = 0; i < c.fans.size(); i++) {
            EXPECT_EQ(m.fan_list[i].id, c.fans[i].id);
            EXPECT_EQ(m.fan_list[i].speed, c.fans[i].speed);
            EXPECT_EQ(m.fan_list[i].rpm, c.fans[i].rpm);
        }
    }
    EXPECT_THAT(root.log(), HasSubstr("WARN Unable to parse the number of fans\n"
                                      "WARN Failed to parse data for fan 1\n"));
}

TEST(Pools, UserAndServiceFeePools) {
    test_root root;
    // The fee pool takes position 1 and the empty slot at position 2 is skipped, so
    // neither reserve is configured.
    std::unique_ptr<cv_pools_stats> p =
        pools_of(pool("stratum+tcp://ltc.example:3333", "Alive", 0, true) + "," +
                 pool("DevFee.stratum+tcp://fee.example:8888", "Alive", 999, false, "") + "," +
                 pool("", "Dead", 2, false));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->main.status, POOL_ACTIVE);
    EXPECT_STREQ(p->main.diff, "65.5K");
    EXPECT_EQ(p->main.accepted, 100u);
    EXPECT_EQ(p->main.rejected, 2u);
    EXPECT_EQ(p->main.stale, 1u);
    EXPECT_FALSE(p->main.asicboost);
    EXPECT_EQ(p->reserved.status, POOL_NOT_CONFIGURED);
    EXPECT_EQ(p->reserved2.status, POOL_NOT_CONFIGURED);
    ASSERT_EQ(p->svc_fee_count, 1u);
    EXPECT_EQ(p->svc_fee_list[0].status, POOL_ALIVE);
    EXPECT_STREQ(p->svc_fee_list[0].diff, "0");
    EXPECT_EQ(root.log(), "");

    // A user pool after a fee pool is placed by its position in the whole list.
    p = pools_of(pool("a:1", "Dead", 0, false) + "," + pool("DevFee.x", "Alive", 900, true) + "," +
                 pool("b:1", "Alive", 1, true));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->main.status, POOL_DEAD);
    EXPECT_EQ(p->reserved.status, POOL_NOT_CONFIGURED);
    EXPECT_EQ(p->reserved2.status, POOL_ACTIVE);
    EXPECT_EQ(p->svc_fee_list[0].status, POOL_ACTIVE);

    // Priority 899 is a user pool, placed by its position; a short URL that is alive is a
    // pool; later positions and unknown states are not reported.
    p = pools_of(pool("a", "Alive", 0, false) + "," + pool("DevFee.x", "Dead", 899, false) + "," +
                 pool("b:1", "Sick", 2, false, "12345678901234567890123") + "," +
                 pool("c:1", "Alive", 3, true));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->main.status, POOL_ALIVE);
    EXPECT_EQ(p->reserved.status, POOL_DEAD);
    EXPECT_EQ(p->reserved2.status, POOL_NOT_CONFIGURED);
    EXPECT_STREQ(p->reserved2.diff, "1234567890123456789");
    EXPECT_EQ(p->reserved2.accepted, 100u);
    EXPECT_EQ(p->svc_fee_count, 0u);
    EXPECT_EQ(root.log(), "WARN Unknown pool status: Sick\n");
}

TEST(Pools, BadElementsAndExtraFeePools) {
    test_root root;
    std::string list = R"({"URL": "x"},)" + pool("main:1", "Alive", 0, true) + "," +
                       R"({"URL": "y", "Status": "Alive", "Priority": 1, "Accepted": "1",
                           "Rejected": 0, "Stale": 0, "Diff": "1", "Stratum Active": true})";
    for (int i = 0; i < 5; i++) {
        list += "," + pool(("DevFee" + std::to_string(i)).c_str(), "Alive", 900 + i, true,
                           std::to_string(i).c_str());
    }
    std::unique_ptr<cv_pools_stats> p = pools_of(list);
    ASSERT_NE(p, nullptr);
    // The broken element still holds position 0.
    EXPECT_EQ(p->main.status, POOL_NOT_CONFIGURED);
    EXPECT_EQ(p->reserved.status, POOL_ACTIVE);
    EXPECT_EQ(p->reserved2.status, POOL_NOT_CONFIGURED);
    ASSERT_EQ(p->svc_fee_count, 4u);
    EXPECT_STREQ(p->svc_fee_list[3].diff, "3");
    std::string log = root.log();
    EXPECT_THAT(log, HasSubstr("WARN Failed to parse pool #0 stats: "));
    EXPECT_THAT(log, HasSubstr("WARN Failed to parse pool #2 stats: "));
    EXPECT_THAT(log, HasSubstr("WARN Ignoring service fee pool #7, only 4 are reported\n"));

    for (const char* reply : {R"({"STATUS": []})", R"({"POOLS": {}})", R"({"POOLS": null})"}) {
        json_ptr json = parse(reply);
        EXPECT_EQ(cgminer_pools_stats_from_reply(json.get()), nullptr) << reply;
    }
    EXPECT_THAT(root.log(),
                ContainsRegex(error_line("Failed to unpack POOLS from api response: .+")));
    EXPECT_EQ(count_of(root.log(), ": POOLS must be an array object\n"), 2);
}

TEST(Collect, ThroughTheDaemon) {
    test_root root;
    fake_firmware firmware(root);
    api_set_addr("127.0.0.1", closed_port());
    EXPECT_EQ(cgminer_metrics(), nullptr);
    EXPECT_EQ(cgminer_pools_stats(), nullptr);

    fake_daemon daemon;
    daemon.script("pools", {R"({"STATUS":[{"STATUS":"S"}],"POOLS":[)" +
                            pool("stratum+tcp://a:3333", "Alive", 0, true) + "]}"});
    std::unique_ptr<cv_pools_stats> p = cgminer_pools_stats();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->main.status, POOL_ACTIVE);

    // A daemon that dies half-way, sends nothing or garbage gives no record.
    json_ptr stats = healthy_stats();
    std::string whole = stats_reply(stats.get());
    for (const fake_reply& bad : {fake_reply{whole.substr(0, whole.size() / 2)},
                                  fake_reply{whole.substr(0, 100), FAKE_RESET}, fake_reply{""},
                                  fake_reply{"\x01\xff garbage"}}) {
        daemon.script("stats", bad);
        daemon.script("pools", bad);
        EXPECT_EQ(cgminer_metrics(), nullptr);
        EXPECT_EQ(cgminer_pools_stats(), nullptr);
    }
}

TEST(Conversions, ChipState) {
    EXPECT_EQ(chip_state(1.0, 222), CHIP_STATE_FAST);
    EXPECT_EQ(chip_state(0.85, 222), CHIP_STATE_FAST);
    EXPECT_EQ(chip_state(2.0, 444), CHIP_STATE_FAST);
    EXPECT_EQ(chip_state(0.6, 222), CHIP_STATE_SLOW);
    EXPECT_EQ(chip_state(0.5, 222), CHIP_STATE_SLOW);
    EXPECT_EQ(chip_state(0.4, 222), CHIP_STATE_UNSTABLE);
    EXPECT_EQ(chip_state(2.5, 222), CHIP_STATE_UNSTABLE);
    EXPECT_EQ(chip_state(-1.0, 222), CHIP_STATE_UNSTABLE);
    EXPECT_EQ(chip_state(1.0, 0), CHIP_STATE_UNSTABLE);
    EXPECT_EQ(chip_state(0.0, 0), CHIP_STATE_UNKNOWN);
    EXPECT_EQ(chip_state(0.0, 384), CHIP_STATE_UNKNOWN);
}

TEST(Conversions, ChainSettingsAndStateWords) {
    EXPECT_DOUBLE_EQ(chain_volt(9, 8), 9.0);
    EXPECT_DOUBLE_EQ(chain_volt(0, 8), 8.0);
    EXPECT_DOUBLE_EQ(chain_volt(-1, 8), 8.0);
    EXPECT_EQ(chain_chip_freq(1, 384), 1);
    EXPECT_EQ(chain_chip_freq(0, 384), 384);

    EXPECT_EQ(parse_miner_state("initializing"), MINER_STATE_INITIALIZING);
    EXPECT_EQ(parse_miner_state("mining"), MINER_STATE_MINING);
    EXPECT_EQ(parse_miner_state("autotuning"), MINER_STATE_AUTO_TUNING);
    EXPECT_EQ(parse_miner_state("shutting-down"), MINER_STATE_SHUTTING_DOWN);
    EXPECT_EQ(parse_miner_state("pause"), MINER_STATE_STOPPED);
    EXPECT_EQ(parse_miner_state("failure"), MINER_STATE_FAILURE);
    EXPECT_EQ(parse_miner_state("Mining"), MINER_STATE_UNKNOWN);
    EXPECT_EQ(parse_miner_state("restarting"), MINER_STATE_UNKNOWN);
    EXPECT_EQ(parse_miner_state(nullptr), MINER_STATE_UNKNOWN);
}
