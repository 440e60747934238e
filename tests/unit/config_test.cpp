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

TEST(AgentConfig, ChecksTheApiKeyLength) {
    test_root root;
    agent_config config{};
    EXPECT_EQ(load(root, R"({"api_key": ")" + KEY25 + R"(", "dev_id": "d"})", &config), 0);
    EXPECT_EQ(std::string(config.api_key), KEY25);

    EXPECT_EQ(load(root, R"({"api_key": ")" + KEY25.substr(1) + R"(", "dev_id": "d"})", &config),
              -1);
    EXPECT_NE(root.log().find("API key length is to short"), std::string::npos);
    EXPECT_NE(root.log().find("Failed to parse config file"), std::string::npos);

    std::string key60(60, 'k');
    EXPECT_EQ(load(root, R"({"api_key": ")" + key60 + R"(", "dev_id": "d"})", &config), 0);
    EXPECT_EQ(std::string(config.api_key), std::string(50, 'k'));
}

TEST(AgentConfig, CutsTextsAtACharacterBoundaryAndSavesThem) {
    test_root root;
    const std::string e_acute = "\xc3\xa9";
    const struct {
        std::string key, id, stored_key, stored_id;
    } cases[] = {
        {std::string(49, 'k') + e_acute + "zz", "", std::string(49, 'k'), ""},
        {std::string(48, 'k') + e_acute + "zz", "", std::string(48, 'k') + e_acute, ""},
        {KEY25, std::string(31, 'D') + e_acute, KEY25, std::string(31, 'D')},
    };
    for (const auto& c : cases) {
        agent_config config{};
        std::string text = R"({"api_key": ")" + c.key + R"(", "dev_id": ")" + c.id + R"("})";
        ASSERT_EQ(load(root, text, &config), 0) << c.key;
        EXPECT_EQ(config.api_key, c.stored_key);
        EXPECT_EQ(config.dev_id, c.stored_id);
        EXPECT_EQ(agent_save_config(root.path(CONFIG), config), 0) << c.key;
    }
}

TEST(AgentConfig, ReadsTheDeviceId) {
    test_root root;
    agent_config config{};
    std::string long_id(40, 'D');
    EXPECT_EQ(load(root, R"({"api_key":")" + KEY25 + R"(","dev_id":")" + long_id + R"(","x":1})",
                   &config),
              0);
    EXPECT_EQ(std::string(config.dev_id), std::string(32, 'D'));
    EXPECT_FALSE(config.fresh_install);

    EXPECT_EQ(load(root, R"({"api_key":")" + KEY25 + R"(","dev_id":""})", &config), 0);
    EXPECT_STREQ(config.dev_id, "");
    EXPECT_FALSE(config.fresh_install);

    EXPECT_EQ(load(root, R"({"api_key":")" + KEY25 + R"(","dev_id":12})", &config), -1);
}

TEST(AgentConfig, RefusesBadFiles) {
    test_root root;
    agent_config config{};
    EXPECT_EQ(agent_load_config(root.path("/config/missing.json"), &config), -1);
    for (const std::string& text : {std::string(), std::string("{\"api_key\": \"01234567890123"),
                                    std::string("[1, 2]"), std::string("{\"api_key\": 5}"),
                                    std::string("\x7f"
                                                "ELF\0\0\x01",
                                                7),
                                    std::string(200 * 1024, ' ') + "{}"}) {
        EXPECT_EQ(load(root, text, &config), -1) << text.substr(0, 40);
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
