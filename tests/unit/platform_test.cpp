#include "platform.h"

#include "test_root.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <string>

using testing::HasSubstr;

namespace {

struct read_case {
    const char* name;
    std::string command;
    int limit_secs;
    size_t refuse_after; // the sink refuses once it holds this many bytes (0: never)
    platform_read_result result;
    std::string output;
};

} // namespace

TEST(PlatformRun, RunsThroughTheShellAndReportsTheStatus) {
    test_root root;
    EXPECT_EQ(WEXITSTATUS(platform_run("exit 3")), 3);
    // A root may hold any character; scripts without a "#!" line, as some firmware ships
    // them, are started in tests/e2e/test_config_commands.py.
    root.write("/it's a dir/run", "echo ran >> \"$(dirname \"$0\")/ran\"\n");
    chmod(root.path("/it's a dir/run").c_str(), 0755);
    EXPECT_EQ(platform_run(platform_shell_path("/it's a dir/run") + " start"), 0);
    EXPECT_EQ(root.read("/it's a dir/ran"), "ran\n");
    EXPECT_EQ(WEXITSTATUS(platform_run(platform_shell_path("/no/such/program"))), 127);
}

TEST(PlatformRun, ReadsOutputWithinItsTimeLimit) {
    test_root root;
    const std::string big(10000, 'x');
    const read_case cases[] = {
        {"output", "printf 'a\\nb'", 5, 0, PLATFORM_READ_OK, "a\nb"},
        {"nothing", "true", 5, 0, PLATFORM_READ_OK, ""},
        {"big", "printf " + big, 5, 0, PLATFORM_READ_OK, big},
        {"lingers with its output closed", "exec sleep 30 >&-", 1, 0, PLATFORM_READ_TIMED_OUT, ""},
        {"refused", "printf " + big, 5, 1, PLATFORM_READ_REFUSED, ""},
    };
    for (const read_case& c : cases) {
        std::string output;
        auto start = std::chrono::steady_clock::now();
        platform_read_result result = platform_read_output(
            c.command, c.limit_secs,
            [&](const char* piece, size_t length) {
                output.append(piece, length);
                return c.refuse_after == 0 || output.size() < c.refuse_after;
            },
            [] { return false; });
        EXPECT_EQ(result, c.result) << c.name;
        if (c.result == PLATFORM_READ_OK) {
            EXPECT_EQ(output, c.output) << c.name;
        }
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << c.name;
    }
    EXPECT_THAT(root.log(), HasSubstr("sleep 30 >&- did not finish within 1 s"));
}
