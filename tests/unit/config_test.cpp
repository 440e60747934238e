#include "config.h"

#include "handles.h"
#include "test_root.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string CONFIG = "/config/corvane.json";
const std::string KEY25 = "0123456789012345678901234";

int load(const test_root& root, const std::string& text, agent_config* config) {
    root.write(CONFIG, text);
    return agent_load_config(root.path(CONFIG), config);
}

} // namespace

// A short key, an id of the wrong type, broken, binary and missing files are refused at
// start-up in tests/e2e/test_startup.py.
TEST(AgentConfig, LoadsCutsAndRefuses) {
    test_root root;
    const std::string e_acute = "\xc3\xa9";
    const std::string k48(48, 'k');
    const struct {
        std::string text;
        int result;
        std::string key, id; // as stored; cut texts end at a character boundary
    } cases[] = {
        {R"({"api_key": ")" + KEY25 + R"(", "dev_id": "d"})", 0, KEY25, "d"},
        {R"({"api_key": ")" + std::string(60, 'k') + R"(", "dev_id": "d"})", 0,
         std::string(50, 'k'), "d"},
        {R"({"api_key": ")" + k48 + "k" + e_acute + R"(zz", "dev_id": ""})", 0, k48 + "k", ""},
        {R"({"api_key": ")" + k48 + e_acute + R"(zz", "dev_id": ""})", 0, k48 + e_acute, ""},
        {R"({"api_key": ")" + KEY25 + R"(", "dev_id": ")" + std::string(31, 'D') + e_acute + "\"}",
         0, KEY25, std::string(31, 'D')},
        {R"({"api_key":")" + KEY25 + R"(","dev_id":")" + std::string(40, 'D') + R"(","x":1})", 0,
         KEY25, std::string(32, 'D')},
        {"", -1, "", ""},
        {"[1, 2]", -1, "", ""},
        {"{\"api_key\": 5}", -1, "", ""},
        {std::string(200 * 1024, ' ') + "{}", -1, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 60));
        agent_config config{};
        ASSERT_EQ(load(root, c.text, &config), c.result);
        if (c.result == 0) {
            EXPECT_EQ(config.api_key, c.key);
            EXPECT_EQ(config.dev_id, c.id);
            EXPECT_FALSE(config.fresh_install);
            EXPECT_EQ(agent_save_config(root.path(CONFIG), config), 0);
        }
    }
}

// The generated device ids (from the MAC, or pseudo-random without the interface) are
// checked end to end, with their write-back and reuse, in tests/e2e/test_startup.py.
TEST(AgentConfig, SavesKeyThenIdAndReadsThemBack) {
    test_root root;
    agent_config config{};
    snprintf(config.api_key, sizeof(config.api_key), "%s", KEY25.c_str());
    snprintf(config.dev_id, sizeof(config.dev_id), "%s", "ABC");
    root.write(CONFIG + ".tmp", "stale");
    ASSERT_EQ(agent_save_config(root.path(CONFIG), config), 0);
    EXPECT_EQ(root.read(CONFIG), "{\n  \"api_key\": \"" + KEY25 + "\",\n  \"dev_id\": \"ABC\"\n}");
    EXPECT_FALSE(root.exists(CONFIG + ".tmp"));

    agent_config loaded{};
    ASSERT_EQ(agent_load_config(root.path(CONFIG), &loaded), 0);
    EXPECT_STREQ(loaded.dev_id, "ABC");
    EXPECT_FALSE(loaded.fresh_install);

    EXPECT_EQ(agent_save_config(root.path("/no/such/dir/corvane.json"), config), -1);
    EXPECT_NE(root.log().find("Failed to open config file"), std::string::npos);
}
