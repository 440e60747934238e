#include "log.h"

#include "test_root.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <utility>

TEST(Log, WritesLevelsKeepsPercentSignsLiteralAndNeedsAnOutput) {
    test_root root;
    LOG_DEBUG("debug %d", 1);
    LOG_INFO("info %s", "two");
    LOG_WARN("warn");
    log_msg(7, "never written");
    log_msg(LOG_LEVEL_INFO, "%s", "server said %s and 100%");
    int line = __LINE__ + 1;
    LOG_ERROR("failed: %s", "x");

    std::string log = root.log();
    EXPECT_NE(log.find("DEBUG debug 1\n"), std::string::npos);
    EXPECT_NE(log.find("INFO info two\n"), std::string::npos);
    EXPECT_NE(log.find("WARN warn\n"), std::string::npos);
    EXPECT_EQ(log.find("never written"), std::string::npos);
    EXPECT_NE(log.find("INFO server said %s and 100%\n"), std::string::npos);
    EXPECT_NE(log.find(":" + std::to_string(line) + ": failed: x\n"), std::string::npos);

    // Outside text keeps to its line: control characters are escaped, other bytes kept.
    const std::pair<std::string, std::string> escapes[] = {
        {"plain, 100% \\ \xc3\xa9", "plain, 100% \\ \xc3\xa9"},
        {"a\nb\r\tc", "a\\nb\\r\\tc"},
        {"\x1b[2J\x7f", "\\e[2J\\x7f"},
        {std::string("\0\x01\x1f ", 4), "\\x00\\x01\\x1f "},
    };
    for (const auto& [text, expected] : escapes) {
        EXPECT_EQ(log_escape(text), expected);
    }

    // Init fails without an output for the agent logger.
    log_cleanup();
    const std::string conf = "/opt/corvane/etc/log.conf";

    root.write(conf, "log4cplus.logger.other=INFO, out\n"
                     "log4cplus.appender.out=log4cplus::ConsoleAppender\n");
    EXPECT_EQ(log_init(), -1);

    root.write(conf, "log4cplus.logger.agent=INFO, out\n"
                     "log4cplus.additivity.agent=false\n"
                     "log4cplus.rootLogger=INFO, missing\n");
    EXPECT_EQ(log_init(), -1);

    root.write(conf, std::string("\0\xff\x01garbage\n", 11));
    EXPECT_EQ(log_init(), -1);

    chmod(root.path(conf).c_str(), 0);
    if (geteuid() != 0) { // root reads any file
        EXPECT_EQ(log_init(), -1);
    }
    std::remove(root.path(conf).c_str());
    EXPECT_EQ(log_init(), -1);

    // An output on the root logger reaches "agent" through additivity.
    root.write(conf, "log4cplus.rootLogger=INFO, file\n"
                     "log4cplus.appender.file=log4cplus::FileAppender\n"
                     "log4cplus.appender.file.File=" +
                         root.dir + "/agent.log\n");
    EXPECT_EQ(log_init(), 0);
}
