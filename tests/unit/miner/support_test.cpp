#include "miner/support.h"

#include "../test_root.h"
#include "fakes.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

using testing::ElementsAre;

namespace {

struct Support : testing::Test {
    test_root root;
    fake_firmware firmware{root};

    void TearDown() override {
        firmware.hold(false);
        wait_idle();
        cgminer_support_reset();
    }

    void wait_idle() {
        ASSERT_TRUE(wait_until([] { return !cgminer_action_in_progress(); }))
            << "a worker did not finish";
    }
};

} // namespace

TEST_F(Support, StopRestartStartCycle) {
    // Nothing to stop while the daemon does not run; a start runs the init script alone.
    ASSERT_EQ(cgminer_stop(), 0);
    EXPECT_FALSE(cgminer_action_in_progress());
    EXPECT_FALSE(miner_is_stopped());
    ASSERT_EQ(cgminer_start(), 0);
    wait_idle();

    firmware.set_running(true);
    ASSERT_EQ(cgminer_stop(), 0);
    wait_idle();
    EXPECT_EQ(root.read("/tmp/stoptrigger"), "1\n");
    EXPECT_TRUE(miner_is_stopped());

    // A restart is not a start: the user's stop still holds, and no script runs.
    ASSERT_EQ(cgminer_restart(), 0);
    wait_idle();
    EXPECT_TRUE(miner_is_stopped());
    EXPECT_EQ(count_of(root.log(), "INFO Miner is stopped, not restarting it\n"), 1);

    // The daemon still runs: it is stopped before the marker goes and it starts again.
    ASSERT_EQ(cgminer_start(), 0);
    wait_idle();
    EXPECT_THAT(firmware.calls(), ElementsAre("cgminer.sh start", "stop_cgminer.cgi",
                                              "cgminer.sh stop", "cgminer.sh start"));
    EXPECT_FALSE(root.exists("/tmp/stoptrigger"));
    EXPECT_FALSE(miner_is_stopped());
}

TEST_F(Support, OneWorkerOfEachKindAtATimeNoRestartLostAndAStopStaysAStop) {
    firmware.set_running(true);
    firmware.hold(true);
    EXPECT_EQ(cgminer_restart(), 0);
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(cgminer_start(), 0);
        EXPECT_EQ(cgminer_restart(), 0);
        EXPECT_EQ(cgminer_stop(), 0);
    }
    std::string log = root.log();
    EXPECT_EQ(count_of(log, "WARN Starting of miner is in progress\n"), 1);
    EXPECT_EQ(count_of(log, "WARN Miner is already restarting\n"), 2);
    EXPECT_EQ(count_of(log, "WARN Stopping of miner is in progress\n"), 1);
    EXPECT_TRUE(cgminer_action_in_progress());

    // The stop cancels the restart that was pending, and waits for the running start and
    // restart, so that neither brings the daemon back after the stop page.
    firmware.hold(false);
    wait_idle();
    std::vector<std::string> calls = firmware.calls();
    for (auto [call, count] :
         {std::pair{"cgminer.sh start", 1}, {"cgminer.sh restart", 1}, {"stop_cgminer.cgi", 1}}) {
        EXPECT_EQ(std::count(calls.begin(), calls.end(), call), count) << call;
    }
    EXPECT_EQ(calls.back(), "stop_cgminer.cgi");
    EXPECT_TRUE(miner_is_stopped());

    // A start asked for while a stop waits is the later word: nothing is stopped.
    firmware.hold(true);
    EXPECT_EQ(cgminer_start(), 0);
    EXPECT_EQ(cgminer_stop(), 0);
    EXPECT_EQ(cgminer_start(), 0);
    firmware.hold(false);
    wait_idle();
    EXPECT_EQ(firmware.calls().back(), "cgminer.sh start");
    EXPECT_FALSE(miner_is_stopped());

    // A restart asked for during a start alone follows it.
    firmware.hold(true);
    EXPECT_EQ(cgminer_start(), 0);
    EXPECT_EQ(cgminer_restart(), 0);
    firmware.hold(false);
    wait_idle();
    calls = firmware.calls();
    EXPECT_THAT(std::vector(calls.end() - 3, calls.end()),
                ElementsAre("cgminer.sh stop", "cgminer.sh start", "cgminer.sh restart"));
    EXPECT_NE(root.log().find("INFO Miner is starting, restarting it afterwards\n"),
              std::string::npos);
}

// Ready, the API accepting a connection, turns "initializing" into "mining": Metrics tests.
TEST_F(Support, FindsTheDaemonAsPidofWould) {
    struct entry {
        const char* dir;
        std::string comm;
        std::string cmdline;
        bool found;
    };
    using namespace std::string_literals;
    const entry cases[] = {
        {"/proc/17", "cgminer\n", "", true},
        {"/proc/17", "bmminer\n", "/usr/bin/cgminer\0--api-listen\0"s, true},
        {"/proc/17", "cgminer-ui\n", "/usr/bin/cgminer-ui\0"s, false},
        {"/proc/17", "sh\n", "/bin/sh\0/usr/bin/cgminer\0"s, false},
        {"/proc/self", "cgminer\n", "cgminer\0"s, false},
        {"/proc/net", "cgminer\n", "", false},
    };
    for (const entry& test : cases) {
        root.write(std::string(test.dir) + "/comm", test.comm);
        root.write(std::string(test.dir) + "/cmdline", test.cmdline);
        EXPECT_EQ(cgminer_running(), test.found) << test.dir << " " << test.comm;
        std::filesystem::remove_all(root.path(test.dir));
    }
    EXPECT_FALSE(cgminer_running());
    EXPECT_EQ(root.read("/calls"), "") << "no process is started";
}
