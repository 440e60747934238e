#include "log.h"

#include "test_root.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

using testing::HasSubstr;
using testing::Not;

TEST(Log, WritesLevelsKeepsPercentSignsLiteralAndNeedsAnOutput) {
    test_root root;
    LOG_DEBUG("debug %d", 1);
    LOG_WARN("warn");
    log_msg(7, "never written");
    log_msg(LOG_LEVEL_INFO, "%s", "server said %s and 100%");
    int line = __LINE__ + 1;
    LOG_ERROR("failed: %s", "x");
    EXPECT_THAT(root.log(),
                HasSubstr("DEBUG debug 1\nWARN warn\nINFO server said %s and 100%\nERROR "));
    EXPECT_THAT(root.log(), HasSubstr(":" + std::to_string(line) + ": failed: x\n"));
    EXPECT_THAT(root.log(), Not(HasSubstr("never written")));

    // Outside text keeps to its line: control characters (C1 too) and bytes that are not UTF-8
    // (stray, overlong, surrogate, past U+10FFFF, cut short) are escaped, other characters kept.
    EXPECT_EQ(
        log_escape(std::string("100% \\ \xc3\xa9\n\r\t\x1b\x7f\0\x01\x1f \x9b\xc2\x9b\xc2\xa0"
                               "\xf0\x9f\x98\x80\xc0\xaf\xed\xa0\x80\xf4\x90\x80\x80\xe2\x82",
                               38)),
        "100% \\ \xc3\xa9\\n\\r\\t\\e\\x7f\\x00\\x01\\x1f \\x9b\\xc2\\x9b\xc2\xa0\xf0\x9f\x98\x80"
        "\\xc0\\xaf\\xed\\xa0\\x80\\xf4\\x90\\x80\\x80\\xe2\\x82");

    // Init fails without an output for the agent logger or a readable file (a missing file:
    // tests/e2e/test_startup.py); an output on the root logger reaches "agent" through
    // additivity.
    log_cleanup();
    const std::string conf = "/opt/corvane/etc/log.conf";
    for (const std::string& text :
         {std::string("log4cplus.logger.other=INFO, out\n"
                      "log4cplus.appender.out=log4cplus::ConsoleAppender\n"),
          std::string("log4cplus.logger.agent=INFO, out\nlog4cplus.additivity.agent=false\n"
                      "log4cplus.rootLogger=INFO, missing\n"),
          std::string("\0\xff\x01garbage\n", 11)}) {
        root.write(conf, text);
        EXPECT_EQ(log_init(), -1);
    }
    root.write(conf, "log4cplus.rootLogger=INFO, file\n"
                     "log4cplus.appender.file=log4cplus::FileAppender\n"
                     "log4cplus.appender.file.File=" +
                         root.dir + "/agent.log\n");
    EXPECT_EQ(log_init(), 0);
}
