#include "miner/watcher.h"

#include "test_root.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::mutex calls_lock;
std::vector<watcher_status> calls;     // guarded by calls_lock
clock_type::time_point last_call_time; // guarded by calls_lock

void record_call(const watcher_status& status) {
    std::lock_guard held(calls_lock);
    calls.push_back(status);
    last_call_time = clock_type::now();
}

size_t call_count() {
    std::lock_guard held(calls_lock);
    return calls.size();
}

bool wait_for_calls(size_t count, clock_type::duration limit) {
    for (auto deadline = clock_type::now() + limit; clock_type::now() < deadline;) {
        if (call_count() >= count) {
            return true;
        }
        std::this_thread::sleep_for(20ms);
    }
    return call_count() >= count;
}

// The ways other programs change files in the watched directory.
struct edit {
    enum { IN_PLACE, RENAME, PAUSE, RESUME } how;
    const char* name;
    std::chrono::milliseconds then_wait;
};

struct watcher_case {
    const char* title;
    std::vector<edit> edits;
    watcher_status expected;
};

const watcher_case cases[] = {
    {"one save of the daemon file", {{edit::IN_PLACE, "cgminer.conf", 0ms}}, {true, false}},
    {"quick saves settle into one call after the last",
     {{edit::IN_PLACE, "cgminer.conf", 600ms},
      {edit::IN_PLACE, "cgminer.conf", 600ms},
      {edit::IN_PLACE, "cgminer.conf", 0ms}},
     {true, false}},
    {"a rename onto the network file counts, other files do not",
     {{edit::IN_PLACE, "lighttpd-htdigest.user", 0ms},
      {edit::RENAME, "cgminer.conf.tmp", 0ms},
      {edit::RENAME, "network.conf", 0ms}},
     {false, true}},
    {"a write while paused is never reported",
     {{edit::PAUSE, "", 0ms},
      {edit::RENAME, "cgminer.conf", 0ms},
      {edit::RESUME, "", 0ms},
      {edit::IN_PLACE, "network.conf", 0ms}},
     {false, true}},
    {"a pause discards the change waiting to be reported",
     {{edit::IN_PLACE, "cgminer.conf", 1200ms},
      {edit::PAUSE, "", 0ms},
      {edit::RESUME, "", 0ms},
      {edit::IN_PLACE, "network.conf", 0ms}},
     {false, true}},
};

void apply(const test_root& root, const edit& e) {
    std::string path = std::string("/config/") + e.name;
    switch (e.how) {
    case edit::IN_PLACE:
        root.write(path, "{\n\"edited\" : \"yes\"\n}\n");
        break;
    case edit::RENAME:
        root.write(path + ".new", "{}\n");
        ASSERT_EQ(rename(root.path(path + ".new").c_str(), root.path(path).c_str()), 0);
        break;
    case edit::PAUSE:
        watcher_pause();
        break;
    case edit::RESUME:
        watcher_resume();
        break;
    }
    std::this_thread::sleep_for(e.then_wait); // paces the edits like a person at the web page
}

// Stops the watcher and checks that it ended promptly.
void stop_promptly() {
    auto begin = clock_type::now();
    EXPECT_EQ(watcher_stop(), 0);
    EXPECT_LT(clock_type::now() - begin, 500ms);
}

} // namespace

TEST(Watcher, ReportsEachSettledChangeOnceAboutThreeSecondsAfterTheLastEdit) {
    for (const watcher_case& c : cases) {
        SCOPED_TRACE(c.title);
        test_root root;
        root.write("/config/cgminer.conf", "{}\n");
        {
            std::lock_guard held(calls_lock);
            calls.clear();
        }
        ASSERT_EQ(watcher_start(record_call), 0);
        for (const edit& e : c.edits) {
            apply(root, e);
        }
        auto last_edit = clock_type::now();
        EXPECT_TRUE(wait_for_calls(1, 10s));
        // A second call would come at the next poll, a second later.
        EXPECT_FALSE(wait_for_calls(2, 1500ms));
        stop_promptly();

        std::lock_guard held(calls_lock);
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].miner_cfg_changed, c.expected.miner_cfg_changed);
        EXPECT_EQ(calls[0].net_cfg_changed, c.expected.net_cfg_changed);
        auto settle = last_call_time - last_edit;
        EXPECT_GE(settle, 2500ms);
        EXPECT_LE(settle, 6s);
    }
}

TEST(Watcher, StopRightAfterStartIsNeverLostAndTheWatcherCanStartAgain) {
    test_root root;
    root.write("/config/cgminer.conf", "{}\n");
    for (int round = 0; round < 3; round++) {
        ASSERT_EQ(watcher_start(record_call), 0);
        stop_promptly();
    }
    ASSERT_EQ(watcher_start(record_call), 0);
    EXPECT_EQ(watcher_start(record_call), 0); // only warns
    stop_promptly();
    EXPECT_EQ(watcher_stop(), 0); // only warns
    std::string log = root.log();
    EXPECT_EQ(log.find("WARN Watcher is already running"),
              log.rfind("WARN Watcher is already running"));
    EXPECT_NE(log.find("WARN Watcher is already running"), std::string::npos);
    EXPECT_EQ(log.find("WARN Watcher is not running"), log.rfind("WARN Watcher is not running"));
    EXPECT_NE(log.find("WARN Watcher is not running"), std::string::npos);
}

TEST(Watcher, WithoutTheDirectoryTheAgentGoesOnUnwatched) {
    test_root root;
    EXPECT_EQ(watcher_start(record_call), 0);
    EXPECT_EQ(watcher_stop(), 0);
    std::string log = root.log();
    EXPECT_NE(log.find("Failed to watch"), std::string::npos);
    EXPECT_NE(log.find("WARN Watcher is not running"), std::string::npos);
}
