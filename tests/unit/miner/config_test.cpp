#include "miner/config.h"

#include "../test_root.h"
#include "fixtures.h"
#include "handles.h"
#include "miner/config_text.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

using testing::HasSubstr;
using testing::Not;

namespace {

const char* const FIXTURES[] = {"l3plus", "minimal", "tricky"};

struct Store : testing::Test {
    test_root root;
    std::string path = cgminer_config_path();

    miner_config load(const std::string& name) {
        install_config(root, name);
        miner_config config{};
        EXPECT_EQ(miner_load_config(path, &config), 0) << name;
        return config;
    }

    // What the firmware's tools make of `value`: the library's indent-2 file, then the two
    // real `sed` edits in place.
    std::string firmware_text(const json_t* value) {
        std::string file = root.path("/firmware.conf");
        EXPECT_EQ(json_dump_file(value, file.c_str(), JSON_INDENT(2)), 0);
        std::string edits =
            "sed -i 's/\": \"/\" : \"/g' " + file + " && sed -i 's/^[ \\t]*//' " + file;
        EXPECT_EQ(system(edits.c_str()), 0);
        return root.read("/firmware.conf");
    }
};

// "url|user|pass" of each pool, separated by ";".
std::string pools_of(const miner_config& config) {
    std::string text;
    for (size_t i = 0; i < config.pool_count; i++) {
        const pool_config& pool = config.pools[i];
        text += std::string(i > 0 ? ";" : "") + pool.url + "|" + pool.worker + "|" + pool.passwd;
    }
    return text;
}

} // namespace

TEST_F(Store, TextIsWhatTheFirmwareEditsMake) {
    for (const char* name : FIXTURES) {
        for (const char* kind : {".conf", ".stored"}) {
            json_error_t error;
            std::string text = fixture(name + std::string(kind));
            json_ptr value(json_loads(text.c_str(), 0, &error));
            ASSERT_TRUE(value) << name << kind << ": " << error.text;
            std::string ours;
            ASSERT_TRUE(config_text(value.get(), &ours));
            EXPECT_EQ(ours, firmware_text(value.get())) << name << kind;
        }
    }
}

// Loading and storing unchanged keeps every member the agent does not write, drops false
// members and a zero watchdog temperature, puts "multi-version" last, and reads back equal.
TEST_F(Store, StoresGoldenFiles) {
    for (const char* name : FIXTURES) {
        miner_config config = load(name + std::string(".conf"));
        ASSERT_EQ(miner_update_config(path, config), 0) << name;
        std::string stored = root.read("/config/cgminer.conf");
        EXPECT_EQ(stored, fixture(name + std::string(".stored"))) << name;
        EXPECT_THAT(stored, Not(testing::ContainsRegex("(^|\n)[ \t]"))) << name;
        EXPECT_THAT(stored, Not(HasSubstr("\": \""))) << name;
        EXPECT_FALSE(root.exists("/config/cgminer.conf.tmp"));

        miner_config again{};
        ASSERT_EQ(miner_load_config(path, &again), 0) << name;
        EXPECT_EQ(memcmp(&config, &again, sizeof(config)), 0) << name;
    }
}

TEST_F(Store, MergesChanges) {
    struct row {
        const char* name;
        std::function<void(miner_config*)> change;
        std::vector<std::string> present;
        std::vector<std::string> absent;
    };
    const row rows[] = {
        {"switches off and no watchdog temperature are absent",
         [](miner_config* c) {
             c->bitmain_fan_ctrl = false;
             c->bitmain_autodownscale_reboot = false;
             c->bitmain_tempoff = 0;
         },
         {"\"bitmain-silentstart\": true,\n"},
         {"bitmain-fan-ctrl", "bitmain-autodownscale-reboot", "bitmain-tempoff"}},
        {"no target temperature keeps the file's",
         [](miner_config* c) { c->bitmain_target_temp = 0; },
         {"\"bitmain-target-temp\" : \"75\",\n"},
         {}},
        {"fewer pools replace the list",
         [](miner_config* c) {
             c->pool_count = 1;
             strcpy(c->pools[0].passwd, "new");
         },
         {"\"pass\" : \"new\"\n}\n],\n"},
         {"ltc-eu", "backup"}},
        {"numbers as text, chips as one list",
         [](miner_config* c) {
             c->bitmain_freq2 = 0;
             c->bitmain_tempoff = -7;
             c->bitmain_minhr = 2147483647; // more than the file's 9 characters
             c->chain4_chip_freqs[71] = 0;
             c->chain1_chip_freqs[0] = 65535;
         },
         {"\"bitmain-freq2\" : \"0\",\n", "\"bitmain-tempoff\" : \"-7\",\n",
          "\"bitmain-minhr\" : \"999999999\",\n",
          "\"bitmain-chip-freq\" : \"65535:0:", ":0:0\",\n"},
         {":450"}},
    };
    for (const row& r : rows) {
        miner_config config = load("l3plus.conf");
        r.change(&config);
        ASSERT_EQ(miner_update_config(path, config), 0) << r.name;
        std::string stored = root.read("/config/cgminer.conf");
        for (const std::string& text : r.present) {
            EXPECT_THAT(stored, HasSubstr(text)) << r.name;
        }
        for (const std::string& text : r.absent) {
            EXPECT_THAT(stored, Not(HasSubstr(text))) << r.name;
        }
        EXPECT_TRUE(stored.ends_with(",\n\"multi-version\" : \"1\"\n}")) << r.name;
    }
}

// The store re-reads the file: what the web interface wrote since the load stays.
TEST_F(Store, KeepsOutsideEditsSinceTheLoad) {
    miner_config config = load("minimal.conf");
    root.write("/config/cgminer.conf", R"({"pools": [], "api-allow": "A:0/0", "extra": [1]})");
    ASSERT_EQ(miner_update_config(path, config), 0);
    std::string stored = root.read("/config/cgminer.conf");
    EXPECT_THAT(stored, HasSubstr("\"api-allow\" : \"A:0/0\",\n\"extra\": [\n1\n],\n"));
    EXPECT_THAT(stored, HasSubstr("corvane.l3p-002"));
}

TEST_F(Store, ReadsPools) {
    const std::string long_url(600, 'u');
    const std::string wide_url = std::string(510, 'a') + "\u00e4"; // bytes 510 and 511
    struct row {
        std::string pools;
        std::string expected;
    };
    const row rows[] = {
        {R"([{"url": "a", "user": "b", "pass": "c", "extra": 1}])", "a|b|c"},
        {R"([{"url": "1", "user": "u", "pass": ""}, {"url": "2", "user": 5, "pass": ""},
             {"url": "3", "user": "u"}, {"url": "4", "user": "u", "pass": ""}])",
         "1|u|"},
        {R"([{"url": "1", "user": "u", "pass": "p"}, null, {"url": "3", "user": "u", "pass": "p"}])",
         "1|u|p;3|u|p"},
        {R"([])", ""},
        {"[{\"url\": \"" + long_url + "\", \"user\": \"" + std::string(60, 'w') +
             "\", \"pass\": \"p\"}]",
         long_url.substr(0, 511) + "|" + std::string(49, 'w') + "|p"},
        {"[{\"url\": \"" + wide_url + "\", \"user\": \"u\", \"pass\": \"p\"}]",
         std::string(510, 'a') + "|u|p"},
    };
    for (const row& r : rows) {
        root.write("/config/cgminer.conf", "{\"pools\": " + r.pools + "}");
        miner_config config{};
        ASSERT_EQ(miner_load_config(path, &config), 0) << r.pools;
        EXPECT_EQ(pools_of(config), r.expected) << r.pools;
    }
    EXPECT_THAT(root.log(), HasSubstr("Failed to parse pool[1]"));
}

// A file the agent cannot understand is not loaded; one it cannot even read as a JSON object
// is not touched by a store either. (A transaction never stores over a file it could not load.)
TEST_F(Store, BadFilesLoseNothing) {
    std::string huge = R"({"pools": [], "blob": ")" + std::string(1024 * 1024, 'x') + "\"}";
    struct row {
        const char* name;
        std::optional<std::string> content;
        bool unreadable;
        const char* logged;
    };
    const row rows[] = {
        {"missing", std::nullopt, true, "No such file or directory"},
        {"empty", "", true, "json error: "},
        {"truncated", fixture("l3plus.conf").substr(0, 700), true, "json error: "},
        {"not JSON", "pools = stratum", true, "json error: "},
        {"NUL inside", std::string("{\"pools\": []\0}", 14), true, "json error: "},
        {"not an object", "[1, 2]", true, "Pools not specifed or have wrong format"},
        {"enormous", huge, true, "larger than the 1048576 bytes a miner config may have"},
        {"pools not an array", R"({"pools": {"url": "a"}})", false,
         "Failed to parse pool settings"},
        {"freq as a number", R"({"pools": [], "bitmain-freq": 384})", false,
         "Failed to parse global freq and volt settings - "},
        {"chain volt as a number", R"({"pools": [], "bitmain-voltage3": 8})", false,
         "Failed to parse chain freq and volt settings - "},
        {"stage 1 as text", R"({"pools": [], "bitmain-autodownscale": "true"})", false,
         "Failed to parse autotune settings"},
        {"chip list as an array", R"({"pools": [], "bitmain-chip-freq": [1, 2]})", false,
         "Failed to parse chip frequencies"},
        {"watchdog as a number", R"({"pools": [], "bitmain-tempoff": 90})", false,
         "Failed to parse watchdog settings"},
    };
    miner_config config = load("l3plus.conf");
    for (const row& r : rows) {
        std::remove(path.c_str());
        if (r.content) {
            root.write("/config/cgminer.conf", *r.content);
        }
        miner_config loaded{};
        EXPECT_EQ(miner_load_config(path, &loaded), -1) << r.name;
        EXPECT_THAT(root.log(), HasSubstr(r.logged)) << r.name;
        if (!r.unreadable) {
            continue;
        }
        EXPECT_EQ(miner_update_config(path, config), -1) << r.name;
        EXPECT_EQ(root.exists("/config/cgminer.conf"), r.content.has_value()) << r.name;
        if (r.content) {
            EXPECT_EQ(root.read("/config/cgminer.conf"), *r.content) << r.name;
        }
    }
}

// The new file takes the old one's place only once it is complete.
TEST_F(Store, FailedWriteKeepsTheOldFile) {
    miner_config config = load("l3plus.conf");
    config.bitmain_freq = 400;
    root.write("/config/cgminer.conf.tmp/blocker", ""); // the temporary file cannot be made
    EXPECT_EQ(miner_update_config(path, config), -1);
    EXPECT_EQ(root.read("/config/cgminer.conf"), fixture("l3plus.conf"));
    EXPECT_THAT(root.log(), HasSubstr("Failed to store miner config"));
}
