#include "miner/config.h"

#include "../test_root.h"
#include "fixtures.h"
#include "handles.h"
#include "miner/config_text.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

using testing::HasSubstr;

// Each data/NAME.conf, loaded and stored unchanged, gives data/NAME.stored: unknown members
// kept, false members and a zero watchdog temperature gone, "multi-version" last, pools cut
// to three and at character boundaries, a bad fan member reset, every "bitmain-" value read
// with its defaults, caps and conversions. The bytes are those of the firmware's tools: the
// library's indent-2 text after the two real `sed` edits.
TEST(Store, StoresWhatTheFirmwareWouldWrite) {
    test_root root;
    std::string path = cgminer_config_path();
    std::string sed_file = root.path("/sed.conf");
    for (const char* name : {"l3plus", "minimal", "tricky", "pools", "numbers"}) {
        install_config(root, name + std::string(".conf"));
        miner_config config{};
        ASSERT_EQ(miner_load_config(path, &config), 0) << name;
        ASSERT_EQ(miner_update_config(path, config), 0) << name;
        std::string stored = root.read("/config/cgminer.conf");
        EXPECT_EQ(stored, fixture(name + std::string(".stored"))) << name;
        EXPECT_FALSE(root.exists("/config/cgminer.conf.tmp"));

        miner_config again{};
        ASSERT_EQ(miner_load_config(path, &again), 0) << name;
        if (strcmp(name, "pools") != 0) { // its fan reset leaves the file's target temperature
            EXPECT_EQ(memcmp(&config, &again, sizeof(config)), 0) << name;
        }

        for (const std::string& text : {fixture(name + std::string(".conf")), stored}) {
            json_ptr value(json_loads(text.c_str(), 0, nullptr));
            ASSERT_EQ(json_dump_file(value.get(), sed_file.c_str(), JSON_INDENT(2)), 0);
            std::string edits =
                "sed -i 's/\": \"/\" : \"/g' " + sed_file + " && sed -i 's/^[ \\t]*//' " + sed_file;
            ASSERT_EQ(system(edits.c_str()), 0);
            std::string ours;
            ASSERT_TRUE(config_text(value.get(), &ours));
            EXPECT_EQ(ours, root.read("/sed.conf")) << name;
        }
    }
    EXPECT_THAT(root.log(), HasSubstr("Failed to parse fan settings - "));
    EXPECT_THAT(root.log(), HasSubstr("\nINFO Resetting fan settings to defaults\n"));
}

// What the agent cannot understand is not loaded; what it cannot even read as a JSON object is
// not touched by a store either (a transaction never stores over a file it could not load).
TEST(Store, BadFilesLoseNothing) {
    test_root root;
    std::string path = cgminer_config_path();
    struct row {
        std::string content; // "-" for no file
        bool readable;
        const char* logged;
    };
    const row rows[] = {
        {"-", false, "No such file or directory"},
        {"", false, "json error: "},
        {fixture("l3plus.conf").substr(0, 700), false, "json error: "},
        {std::string("{\"pools\": []\0}", 14), false, "json error: "},
        {"[1, 2]", false, "Pools not specifed or have wrong format"},
        {R"({"pools": [], "blob": ")" + std::string(1 << 20, 'x') + "\"}", false,
         "larger than the 1048576 bytes a miner config may have"},
        {R"({"pools": {"url": "a"}})", true, "Failed to parse pool settings"},
        {R"({"pools": [], "bitmain-freq": 384})", true, "Failed to parse global freq and volt"},
        {R"({"pools": [], "bitmain-voltage3": 8})", true, "Failed to parse chain freq and volt"},
        {R"({"pools": [], "bitmain-autodownscale": "1"})", true, "Failed to parse autotune"},
        {R"({"pools": [], "bitmain-chip-freq": [1]})", true, "Failed to parse chip frequencies"},
        {R"({"pools": [], "bitmain-tempoff": 90})", true, "Failed to parse watchdog settings"},
    };
    install_config(root, "l3plus.conf");
    miner_config config{};
    ASSERT_EQ(miner_load_config(path, &config), 0);
    for (const row& r : rows) {
        std::remove(path.c_str());
        if (r.content != "-") {
            root.write("/config/cgminer.conf", r.content);
        }
        miner_config loaded{};
        EXPECT_EQ(miner_load_config(path, &loaded), -1) << r.logged;
        EXPECT_THAT(root.log(), HasSubstr(r.logged));
        if (!r.readable) {
            EXPECT_EQ(miner_update_config(path, config), -1) << r.logged;
            EXPECT_EQ(root.exists("/config/cgminer.conf"), r.content != "-") << r.logged;
            EXPECT_EQ(r.content == "-" || root.read("/config/cgminer.conf") == r.content, true);
        }
    }
}
