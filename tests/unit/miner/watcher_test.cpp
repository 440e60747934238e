#include "miner/watcher.h"

#include "atomic_file.h"
#include "fakes.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::mutex calls_lock;
std::condition_variable calls_changed;
std::vector<watcher_status> calls;     // guarded by calls_lock
clock_type::time_point last_call_time; // guarded by calls_lock
bool hold_calls = false;               // guarded by calls_lock: keeps the watcher thread busy
int releases = 0; // guarded by calls_lock: a held call ends at the next release, even when a
                  // new hold begins before the watcher thread sees it

void record_call(const watcher_status& status) {
    std::unique_lock held(calls_lock);
    calls.push_back(status);
    last_call_time = clock_type::now();
    calls_changed.notify_all();
    int released = releases;
    calls_changed.wait(held, [&] { return !hold_calls || releases != released; });
}

bool wait_for_calls(size_t count, clock_type::duration limit) {
    std::unique_lock held(calls_lock);
    return calls_changed.wait_for(held, limit, [&] { return calls.size() >= count; });
}

// What other programs, and the agent's own store, do in the watched directory.
struct step {
    enum { IN_PLACE, RENAME, OWN, PAUSE, RESUME, HOLD, RELEASE, OVERFLOW, MOVE_AWAY, LINK } how;
    const char* name;
    std::chrono::milliseconds then_wait;
    bool took_in_edit = false; // OWN: the write carries someone else's edit that it re-read
};

watcher_own_write own_write; // what the last OWN step renamed in, for the next RESUME
int dirs_made = 0;

void apply(const test_root& root, const step& s) {
    std::string path = std::string("/config/") + s.name;
    switch (s.how) {
    case step::IN_PLACE:
        root.write(path, "{\n\"edited\" : \"yes\"\n}\n");
        break;
    case step::RENAME:
        root.write(path + ".new", "{}\n");
        ASSERT_EQ(rename(root.path(path + ".new").c_str(), root.path(path).c_str()), 0);
        break;
    case step::OWN:
        own_write = {root.path(path), {}, "{\n\"own\" : \"yes\"\n}\n", "", s.took_in_edit};
        ASSERT_EQ(atomic_write(
                      own_write.path, [](FILE* f) { return fputs(own_write.text.c_str(), f) >= 0; },
                      &own_write.file),
                  ATOMIC_WRITE_OK);
        break;
    case step::PAUSE:
        watcher_pause();
        break;
    case step::RESUME:
        watcher_resume(own_write);
        own_write = {};
        break;
    case step::HOLD: { // until the watcher thread is inside its next call
        std::unique_lock held(calls_lock);
        hold_calls = true;
        size_t before = calls.size();
        ASSERT_TRUE(calls_changed.wait_for(held, 12s, [&] { return calls.size() > before; }));
        break;
    }
    case step::RELEASE: {
        std::lock_guard held(calls_lock);
        hold_calls = false;
        releases++;
        calls_changed.notify_all();
        break;
    }
    case step::OVERFLOW: { // more events than the queue holds, while the thread is held
        int limit = 16384;
        std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> limit;
        for (int i = 0; i <= limit; i++) {
            root.write(std::string("/config/other") + std::to_string(i % 2), "");
        }
        break;
    }
    case step::MOVE_AWAY:
        ASSERT_EQ(rename(root.path("/config").c_str(),
                         root.path("/config.old" + std::to_string(++dirs_made)).c_str()),
                  0);
        break;
    case step::LINK: { // "/config" names another directory from now on, as a mount over it
        std::string dir = "/config.new" + std::to_string(++dirs_made);
        root.write(dir + "/cgminer.conf", "{}\n");
        std::filesystem::create_directory_symlink(root.path(dir), root.path("/config.link"));
        ASSERT_EQ(rename(root.path("/config.link").c_str(), root.path("/config").c_str()), 0);
        break;
    }
    }
    std::this_thread::sleep_for(s.then_wait); // paces the edits like a person at the web page
}

struct watcher_case {
    const char* title;
    std::vector<step> steps;
    std::vector<watcher_status> calls; // every call, in order
};

constexpr watcher_status MINER = {true, false};
constexpr watcher_status NETWORK = {false, true};
constexpr watcher_status BOTH = {true, true};

// Quick saves settling into one report after the last, a rename onto the file counting and
// other files of the directory not, are checked end to end in tests/e2e/test_config_watch.py.
const watcher_case cases[] = {
    {"an edit after the agent's own write is reported after the resume, however long the pause",
     {{step::PAUSE, "", 0ms},
      {step::OWN, "cgminer.conf", 0ms},
      {step::IN_PLACE, "cgminer.conf", 3500ms},
      {step::RESUME, "", 0ms}},
     {MINER}},
    {"a change waiting to be reported survives the agent's own write",
     {{step::IN_PLACE, "network.conf", 1200ms},
      {step::PAUSE, "", 0ms},
      {step::OWN, "cgminer.conf", 0ms},
      {step::RESUME, "", 0ms}},
     {NETWORK}},
    // A burst of stores keeps the watcher paused; one of them carried an edit.
    {"the agent's own writes are reported when one carried someone else's edit",
     {{step::PAUSE, "", 0ms},
      {step::OWN, "cgminer.conf", 0ms, true},
      {step::RESUME, "", 300ms},
      {step::PAUSE, "", 0ms},
      {step::OWN, "cgminer.conf", 0ms},
      {step::RESUME, "", 0ms}},
     {MINER}},
    // The events of the agent's own store are still queued when it resumes the watcher; an
    // edit just before the agent's rename is overwritten by it (the last writer wins).
    {"the agent's own write never comes back, even while the thread is busy",
     {{step::IN_PLACE, "network.conf", 0ms},
      {step::HOLD, "", 0ms},
      {step::PAUSE, "", 0ms},
      {step::RENAME, "cgminer.conf", 0ms},
      {step::OWN, "cgminer.conf", 0ms},
      {step::RESUME, "", 0ms},
      {step::RELEASE, "", 0ms},
      {step::IN_PLACE, "network.conf", 0ms}},
     {NETWORK, NETWORK}},
    {"an overflowed queue counts as a change of both files",
     {{step::IN_PLACE, "network.conf", 0ms},
      {step::HOLD, "", 0ms},
      {step::OVERFLOW, "", 0ms},
      {step::RELEASE, "", 0ms}},
     {NETWORK, BOTH}},
    {"a directory moved away, then replaced under its name, is watched again",
     {{step::MOVE_AWAY, "", 1500ms},
      {step::LINK, "", 0ms},
      {step::HOLD, "", 0ms},
      {step::RELEASE, "", 0ms},
      {step::LINK, "", 0ms},
      {step::HOLD, "", 0ms},
      {step::RELEASE, "", 0ms},
      {step::IN_PLACE, "network.conf", 0ms}},
     {BOTH, BOTH, NETWORK}},
};

// Stops the watcher (never held in a call) and checks that it ended promptly.
void stop_promptly() {
    {
        std::lock_guard held(calls_lock);
        hold_calls = false;
        calls_changed.notify_all();
    }
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
        calls.clear(); // the watcher is stopped
        ASSERT_EQ(watcher_start(record_call), 0);
        for (const step& s : c.steps) {
            apply(root, s);
        }
        auto last_edit = clock_type::now();
        EXPECT_TRUE(wait_for_calls(c.calls.size(), 12s));
        // A further call would come at the next poll, a second later.
        EXPECT_FALSE(wait_for_calls(c.calls.size() + 1, 1500ms));
        stop_promptly();

        ASSERT_EQ(calls.size(), c.calls.size()) << root.log();
        for (size_t i = 0; i < calls.size(); i++) {
            EXPECT_EQ(calls[i].miner_cfg_changed, c.calls[i].miner_cfg_changed) << "call " << i;
            EXPECT_EQ(calls[i].net_cfg_changed, c.calls[i].net_cfg_changed) << "call " << i;
        }
        EXPECT_GE(last_call_time - last_edit, 2500ms);
        EXPECT_LE(last_call_time - last_edit, 6s);
    }
}

TEST(Watcher, StopRightAfterStartIsNeverLostAndTheWatcherCanStartAgain) {
    test_root root;
    // Without the directory the thread keeps trying, and stops as promptly.
    ASSERT_EQ(watcher_start(record_call), 0);
    stop_promptly();
    root.write("/config/cgminer.conf", "{}\n");
    for (int round = 0; round < 3; round++) {
        ASSERT_EQ(watcher_start(record_call), 0);
        stop_promptly();
    }
    ASSERT_EQ(watcher_start(record_call), 0);
    EXPECT_EQ(watcher_start(record_call), 0); // only warns
    stop_promptly();
    EXPECT_EQ(watcher_stop(), 0); // only warns
    EXPECT_NE(root.log().find("Failed to watch " + root.path("/config")), std::string::npos);
}
