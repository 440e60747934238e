// Logging under the single category "agent", configured by the logging configuration file.
#pragma once

#include <string>
#include <string_view>

enum log_level {
    LOG_LEVEL_DEBUG = 0,
    LOG_LEVEL_INFO = 1,
    LOG_LEVEL_WARN = 2,
    LOG_LEVEL_ERROR = 3,
};

// Reads "/opt/corvane/etc/log.conf". Returns 0, or -1 (writing nothing) when the file is
// missing or unreadable or when no output it configures reaches the logger "agent".
int log_init();

// Closes every output; log_init may be called again afterwards.
void log_cleanup();

// Ends the process at once with `status` after flushing and closing every log output. For a
// fatal rule while threads run: exit() would run static destructors under them (and destroying
// a running std::thread aborts).
[[noreturn]] void log_exit(int status);

// Formats the message and logs the result as plain text: a '%' that reaches the text
// through an argument is written as it is. Levels outside the four are dropped.
void log_msg(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// `text` ready for a log line when it comes from outside (the server, the daemon, a file):
// control characters (C0, DEL and C1) become \n, \r, \t, \e or \xNN, so that a line feed in
// it cannot forge a line and an escape sequence cannot reach a terminal; so do bytes that are
// not valid UTF-8 (0x9b alone is a terminal's escape too). Other characters are kept.
std::string log_escape(std::string_view text);

// Outside text for the lines after a message's line break: every line escaped as above and
// indented, so that none of them can pass for a line of the agent's own.
std::string log_escape_lines(std::string_view text);

// Error lines carry the reporting source file (relative to src/) and line.
#define LOG_ERROR(format, ...)                                                                     \
    log_msg(LOG_LEVEL_ERROR, "%s:%d: " format, __FILE__, __LINE__ __VA_OPT__(, ) __VA_ARGS__)
#define LOG_WARN(...) log_msg(LOG_LEVEL_WARN, __VA_ARGS__)
#define LOG_INFO(...) log_msg(LOG_LEVEL_INFO, __VA_ARGS__)
#define LOG_DEBUG(...) log_msg(LOG_LEVEL_DEBUG, __VA_ARGS__)
