#include "miner/l3plus/support.h"

#include "../../test_root.h"
#include "handles.h"
#include "miner/collect.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

using testing::HasSubstr;

// data/NAME.conf composes to data/NAME.snapshot (indented by the library), whole.
TEST(Snapshot, ComposesTheFile) {
    test_root root;
    for (const char* name : {"l3plus", "minimal"}) {
        const bool tuning = std::string(name) != "minimal"; // stage 1 or 2 on
        miner_set_auto_tune(!tuning);                       // the snapshot must set the flag itself
        install_config(root, name + std::string(".conf"));
        json_ptr snapshot = cgminer_config();
        ASSERT_TRUE(snapshot) << name;
        c_text text(json_dumps(snapshot.get(), JSON_INDENT(2)));
        EXPECT_EQ(text.get() + std::string("\n"), fixture(name + std::string(".snapshot")));
        EXPECT_EQ(cgminer_autotune_in_progress(), tuning) << name;
    }
    root.write("/config/cgminer.conf", R"({"pools": [], "bitmain-freq": 384})");
    EXPECT_FALSE(cgminer_config());
    EXPECT_THAT(root.log(), HasSubstr("Failed to load miner config " + cgminer_config_path()));
    miner_set_auto_tune(false);
}
