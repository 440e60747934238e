#include "handlers.h"

#include "miner/fakes.h"
#include "miner/l3plus/commands.h"
#include "miner/l3plus/support.h"
#include "miner/support.h"
#include "test_root.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

using testing::HasSubstr;
using testing::Not;

namespace {

const std::string MINER_CONF = "/config/cgminer.conf";

int config_all(json_t* message) {
    return agent_config_all(message, json_object_get(message, "ok"));
}

// A section reader in a bracket of its own, giving its verdict on the member "section": 1 a
// setter changed something, 0 nothing changed (so "config" must neither store nor restart).
template <int (*reader)(json_t*)> int verdict(json_t* message) {
    int result = -1;
    if (begin_miner_config() < 0 || (result = reader(json_object_get(message, "section"))) < 0 ||
        end_miner_config("verdict") < 0) {
        return -1;
    }
    return result;
}

struct handler_case {
    const char* what;
    int (*handler)(json_t* message);
    std::string message;
    int result;
    const char* logged = "";
    std::vector<std::string> written = {}; // pieces of the rewritten file; none: file untouched
    const char* conf = "l3plus.conf";      // the daemon's file before
};

const std::string VALID_POOLS =
    R"("pools": {"main": {"stratum_url": "stratum+tcp://new.example:3333", "worker": "w1"}})";

// Cleared reserves stay in the list, empty.
const std::vector<std::string> NEW_MAIN_POOL = {
    "\"pools\": [\n{\n\"url\" : \"stratum+tcp://new.example:3333\",\n\"user\" : \"w1\",\n"
    "\"pass\" : \"\"\n},\n{\n\"url\" : \"\",\n\"user\" : \"\",\n\"pass\" : \"\"\n},\n{\n\"url\" : "
    "\"\","};

// The file's list of all 288 chip frequencies, chain by chain, with the given ones set.
std::string chip_freqs(const std::vector<std::pair<int, int>>& set) {
    std::vector<int> freqs(4 * 72, 0);
    for (auto [index, freq] : set) {
        freqs[static_cast<size_t>(index)] = freq;
    }
    std::string list;
    for (int freq : freqs) {
        list += (list.empty() ? "" : ":") + std::to_string(freq);
    }
    return "\"bitmain-chip-freq\" : \"" + list + "\"";
}

const std::string ON_GLOBALS =
    R"("use_global_freq": true, "use_global_volt": true, "freq": 1, "volt": 1)";

// The three pools of l3plus.conf as the server describes them.
const std::string SAME_POOLS =
    R"({"main": {"stratum_url": "stratum+tcp://ltc.farm-pool.example:3333",
                 "worker": "corvane.l3p-017", "password": "x"},
        "reserved": {"stratum_url": "stratum+tcp://ltc-eu.farm-pool.example:8888",
                     "worker": "corvane.l3p-017", "password": "123"},
        "reserved2": {"stratum_url": "stratum+tcp://backup.ltc.example:3333",
                      "worker": "corvane.backup"}})";

const handler_case cases[] = {
    {"pools: only main clears the reserves", agent_config_pools,
     R"({"type": "config_pools", "main": {"stratum_url": "stratum+tcp://new.example:3333",
         "worker": "w1"}})",
     0, "", NEW_MAIN_POOL},
    {"pools: reserves added after the one pool of the file",
     agent_config_pools,
     SAME_POOLS,
     0,
     "",
     {"\"url\" : \"stratum+tcp://backup.ltc.example:3333\",\n\"user\" : \"corvane.backup\","},
     "minimal.conf"},
    {"pools: no main", agent_config_pools,
     R"({"reserved": {"stratum_url": "stratum+tcp://x:1", "worker": "w"}})", -1,
     "Pools configuration failed, at least the main pool must be specified"},
    {"pools: main without worker", agent_config_pools,
     R"({"main": {"stratum_url": "stratum+tcp://x:1"}})", -1, "Failed to config pool[0]"},
    {"chain: global frequency, chips by id, the later entry wins",
     agent_config_chain,
     R"({"id": "2", "use_global_freq": true, "use_global_volt": false, "freq": 500, "volt": 9.0,
         "chips": [{"id": "1", "freq": 410}, {"id": "1", "freq": 420}, {"id": "0", "freq": 5},
                   {"id": 3, "freq": 5}]})",
     0,
     "Chain 2: chip 0 is out of range",
     {"\"bitmain-freq2\" : \"0\",", chip_freqs({{4, 400}, {69, 420}, {72, 420}, {287, 450}})}},
    {"chains of config: the file's own settings change nothing", verdict<config_chains>,
     R"({"section": [{"id": "1", )" + ON_GLOBALS +
         R"(, "chips": [{"id": "5", "freq": 400}, {"id": "70", "freq": 420}]}]})",
     0},
    {"chain: a number that would wrap to chain 1", agent_config_chain,
     R"({"id": "257", )" + ON_GLOBALS + R"(, "chips": []})", -1, "Invalid chain id: 257"},
    {"chain: no chips", agent_config_chain, R"({"id": "1", )" + ON_GLOBALS + "}", -1,
     "Failed to parse config chain request - "},
    {"chain: chips not an array", agent_config_chain,
     R"({"id": "1", )" + ON_GLOBALS + R"(, "chips": {}})", -1, "Chips must be an array object"},
    {"watchdog: absent values are 0",
     agent_config_watchdog,
     R"({"min_hr": "500x"})",
     0,
     "",
     {"\"bitmain-minhr\" : \"500\",", "\"bitmain-maxx\" : \"0\","}},
    {"watchdog: a number instead of a text", agent_config_watchdog, R"({"max_temp": 90})", -1,
     "Failed to parse watchdog req - "},
    {"fans: automatic with a target",
     agent_config_fans,
     R"({"mode": "immersion", "target_temp": 70})",
     0,
     "",
     {"\"bitmain-target-temp\" : \"70\","}},
    {"fans: manual on fans under automatic control",
     agent_config_fans,
     R"({"mode": "manual", "speed": 60})",
     0,
     "",
     {"\"bitmain-fan-ctrl\": true,", "\"bitmain-fan-pwm\" : \"60\","},
     "minimal.conf"},
    {"perf: neither member", agent_config_perf, R"({"type": "config_perf"})", 0},
    {"perf: the file's own values change nothing",
     verdict<config_perf>,
     R"({"section": {"profile": "0", "freq": 384, "volt": 8}})",
     0,
     "",
     {},
     "pools.conf"},
    {"perf: profile 3 clears the chains",
     agent_config_perf,
     R"({"perf": {"profile": "3", "freq": 384, "volt": 8}})",
     0,
     "",
     {"\"bitmain-freq2\" : \"0\",", "\"bitmain-voltage2\" : \"0\",",
      "\"bitmain-autodownscale-profile\" : \"3\",", chip_freqs({})}},
    {"perf: frequency as text", agent_config_perf,
     R"({"perf": {"profile": "0", "freq": "400", "volt": 8}})", -1, "Failed to prase perf req - "},
    {"autotuner: reset chips",
     agent_config_autotuner,
     R"({"stage1": true, "stage2": true, "stage3": true, "stage3_interval": 24,
         "downclock_step": 6, "min_freq": 350, "hashrate_deviation": 80, "test_time": 4,
         "down_freq_hw": 3, "reset_chips": true})",
     0,
     "",
     {chip_freqs({})}},
    {"autotuner: stage 1 missing", agent_config_autotuner,
     R"({"stage2": true, "stage3": true, "downclock_step": 6, "min_freq": 350,
         "hashrate_deviation": 80, "test_time": 4, "down_freq_hw": 3})",
     -1, "Failed to parse config autotuner request - "},
    {"config: a later section fails, the pools are not written", config_all,
     R"({"type": "config", )" + VALID_POOLS + R"(, "fans": {"speed": 5}})", -1,
     "Failed to parse config fans request - "},
    {"config: bad network section, nothing else applied", config_all,
     R"({"type": "config", "network": {"mode": 1}, )" + VALID_POOLS + "}", -1,
     "Failed to parse net config request - "},
    {"config: sections in order",
     config_all,
     R"({"type": "config", )" + VALID_POOLS + R"(, "watchdog": {"max_temp": "90"}})",
     0,
     "",
     {NEW_MAIN_POOL[0], "\"bitmain-tempoff\" : \"90\""}},
};

} // namespace

// A change that keeps everything stores nothing (tests/unit/miner/l3plus/setters_test.cpp).
TEST(ConfigCommands, ChangeTheFileOnlyWhenSomethingChangedAndThenRestartARunningDaemon) {
    for (const handler_case& c : cases) {
        SCOPED_TRACE(c.what);
        test_root root;
        fake_firmware firmware(root);
        firmware.set_running(true);
        root.write("/config/network.conf", "hostname=antminer\ndhcp=true\n");
        install_config(root, c.conf);
        const std::string before = root.read(MINER_CONF);

        EXPECT_EQ(c.handler(parse_json(c.message).get()), c.result);
        if (!c.written.empty()) {
            EXPECT_FALSE(miner_config_is_loaded()); // the end clears the record
        }
        const std::string after = root.read(MINER_CONF);
        if (c.written.empty()) {
            EXPECT_EQ(after, before);
        }
        for (const std::string& piece : c.written) {
            EXPECT_THAT(after, HasSubstr(piece));
        }
        EXPECT_THAT(root.log(), HasSubstr(c.logged));
        const bool restart = !c.written.empty();
        EXPECT_TRUE(wait_until([] { return !cgminer_action_in_progress(); }));
        EXPECT_EQ(count_of(root.read("/calls"), "cgminer.sh restart"), restart ? 1 : 0);
        miner_set_auto_tune(false); // process-wide; set by the autotuner rows
    }
}

TEST(ConfigCommands, WriteTheWholeConfigurationAsExpected) {
    test_root root;
    fake_firmware firmware(root);
    root.write("/config/network.conf", "hostname=antminer\ndhcp=true\n");
    install_config(root, "l3plus.conf");
    EXPECT_EQ(config_all(parse_json(fixture("config-all.json")).get()), 0);
    EXPECT_EQ(root.read(MINER_CONF), fixture("config-all.expected"));
    EXPECT_EQ(root.read("/config/network.conf"),
              "hostname=miner-9\nipaddress=10.1.2.3\nnetmask=255.255.0.0\ngateway=10.1.0.1\n"
              "dnsservers=\"10.1.0.2\"\n");
    miner_set_auto_tune(false);
}

// A file the agent cannot understand is not loaded, and one it cannot even read as a JSON
// object is never stored over; a store that cannot be written leaves the old file.
TEST(ConfigCommands, FailWithoutChangeWhenTheDaemonFileCannotBeLoaded) {
    const struct {
        std::string content; // "-" for no file
        const char* logged;
        bool store_fails = false; // the file loads, but the new one cannot be created
    } files[] = {
        {"{\"pools\": [", "json error: "},
        {"-", "No such file or directory"},
        {"[1, 2]", "Pools not specifed or have wrong format"},
        {R"({"pools": [], "blob": ")" + std::string(1 << 20, 'x') + "\"}",
         "larger than the 1048576 bytes a miner config may have"},
        {R"({"pools": {"url": "a"}})", "Failed to parse pool settings"},
        {R"({"pools": [], "bitmain-freq": 384})", "Failed to parse global freq and volt"},
        {R"({"pools": [], "bitmain-voltage3": 8})", "Failed to parse chain freq and volt"},
        {R"({"pools": [], "bitmain-autodownscale": "1"})", "Failed to parse autotune"},
        {R"({"pools": [], "bitmain-chip-freq": [1]})", "Failed to parse chip frequencies"},
        {R"({"pools": [], "bitmain-tempoff": 90})", "Failed to parse watchdog settings"},
        {fixture("l3plus.conf"), "Failed to save config file to ", true},
    };
    for (const auto& f : files) {
        for (const handler_case& c : cases) {
            // Every handler on the first file; one on the others.
            if (c.result != 0 || (&f != files && &c != cases)) {
                continue;
            }
            SCOPED_TRACE(std::string(c.what) + " on " + f.content.substr(0, 40));
            test_root root;
            root.write("/config/network.conf", "hostname=antminer\ndhcp=true\n");
            if (f.content != "-") {
                root.write(MINER_CONF, f.content);
            }
            if (f.store_fails) {
                root.write(MINER_CONF + ".tmp/blocker", "");
            }
            EXPECT_EQ(c.handler(parse_json(c.message).get()), -1);
            EXPECT_EQ(root.exists(MINER_CONF), f.content != "-");
            EXPECT_EQ(root.read(MINER_CONF), f.content == "-" ? "" : f.content);
            EXPECT_THAT(root.log(), HasSubstr(f.logged));
            EXPECT_FALSE(miner_config_is_loaded());
        }
    }
}
