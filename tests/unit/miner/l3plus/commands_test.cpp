#include "miner/l3plus/commands.h"

#include "../../test_root.h"
#include "handlers.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

using testing::HasSubstr;

namespace {

const std::string HTDIGEST = "/config/lighttpd-htdigest.user";
const std::string OLD = "root:antMiner Configuration:00000000000000000000000000000000";

} // namespace

// The digest file is replaced whole or not at all (save_file's must-exist mode has no caller).
TEST(WebAccess, WritesTheDigestLineOrLeavesTheOldFile) {
    const std::string longest(227, 'p'); // with "root:antMiner Configuration:", 255
    struct {
        const char* what;
        std::string message;
        int result;
        std::string file; // expected content; OLD when unchanged
        const char* logged;
        bool blocked = false; // the new file cannot be created, as on a full disk
    } cases[] = {
        {"empty password", R"({"new_password": ""})", 0,
         "root:antMiner Configuration:455af7a652377822a17fe34a85224e7c", ""},
        {"no password", R"({"password": "secret"})", -1, OLD,
         "Wrong set web password request: \n    {\n      \"password\": \"secret\"\n    }"},
        {"longest password", R"({"new_password": ")" + longest + "\"}", 0,
         "root:antMiner Configuration:c7022463c8a4213554fa3f3230a62ad5", ""},
        {"password that would be cut", R"({"new_password": ")" + longest + "p\"}", -1, OLD,
         "Web password too long: at most 227 characters"},
        {"file cannot be replaced", R"({"new_password": "x"})", -1, OLD,
         "Failed to create network config file", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test_root root;
        root.write(HTDIGEST, OLD);
        if (c.blocked) {
            std::filesystem::create_directories(root.path(HTDIGEST + ".tmp"));
        }
        EXPECT_EQ(agent_config_web_access(parse_json(c.message).get()), c.result);
        EXPECT_EQ(root.read(HTDIGEST), c.file);
        EXPECT_THAT(root.log(), HasSubstr(c.logged));
    }
}
