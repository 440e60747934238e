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
// start-up, and the saved file's layout and the generated device ids are checked, in
// tests/e2e/test_startup.py.
TEST(AgentConfig, LoadsCutsAndRefuses) {
    test_root root;
    const std::string e_acute = "\xc3\xa9";
    const std::string k48(48, 'k');
    const struct {
        std::string text;
        int result;
        std::string key, id; // as stored; cut texts end at a character boundary
    } cases[] = {
        {R"({"api_key": ")" + k48 + "k" + e_acute + R"(zz", "dev_id": ""})", 0, k48 + "k", ""},
        {R"({"api_key": ")" + k48 + e_acute + R"(zz", "dev_id": ""})", 0, k48 + e_acute, ""},
        {R"({"api_key": ")" + KEY25 + R"(", "dev_id": ")" + std::string(31, 'D') + e_acute + "\"}",
         0, KEY25, std::string(31, 'D')},
        {R"({"api_key":")" + KEY25 + R"(","dev_id":")" + std::string(40, 'D') + R"(","x":1})", 0,
         KEY25, std::string(32, 'D')},
        {"[1, 2]", -1, "", ""},
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
            // What is saved, over a stale temporary file, reads back the same.
            root.write(CONFIG + ".tmp", "stale");
            EXPECT_EQ(agent_save_config(root.path(CONFIG), config), 0);
            EXPECT_FALSE(root.exists(CONFIG + ".tmp"));
            agent_config again{};
            ASSERT_EQ(agent_load_config(root.path(CONFIG), &again), 0);
            EXPECT_EQ(std::string(again.api_key) + "/" + again.dev_id, c.key + "/" + c.id);
        }
    }
    EXPECT_EQ(agent_save_config(root.path("/no/such/dir/corvane.json"), agent_config{}), -1);
    EXPECT_NE(root.log().find("Failed to open config file"), std::string::npos);
}
