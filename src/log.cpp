#include "log.h"

#include "platform.h"

#include <log4cplus/configurator.h>
#include <log4cplus/helpers/loglog.h>
#include <log4cplus/hierarchy.h>
#include <log4cplus/initializer.h>
#include <log4cplus/logger.h>

#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace {

const char* const LOG_CONF = "/opt/corvane/etc/log.conf";
const char* const CATEGORY = "agent";

// Set once log_init succeeded; log_msg is silent before that.
std::atomic<bool> log_ready = false;

log4cplus::Logger agent_logger() {
    return log4cplus::Logger::getInstance(CATEGORY);
}

// True when a message given to the logger "agent" reaches at least one output.
bool agent_has_output() {
    for (log4cplus::Logger logger = agent_logger();;) {
        if (!logger.getAllAppenders().empty()) {
            return true;
        }
        if (!logger.getAdditivity()) {
            return false;
        }
        log4cplus::Logger parent = logger.getParent();
        if (parent.getName() == logger.getName()) {
            return false; // the root logger is its own parent
        }
        logger = parent;
    }
}

log4cplus::LogLevel to_log4cplus(int level) {
    switch (level) {
    case LOG_LEVEL_DEBUG:
        return log4cplus::DEBUG_LOG_LEVEL;
    case LOG_LEVEL_INFO:
        return log4cplus::INFO_LOG_LEVEL;
    case LOG_LEVEL_WARN:
        return log4cplus::WARN_LOG_LEVEL;
    case LOG_LEVEL_ERROR:
        return log4cplus::ERROR_LOG_LEVEL;
    default:
        return log4cplus::NOT_SET_LOG_LEVEL;
    }
}

// Leads every line of outside text that follows a line break; the agent's own lines never
// start with a blank.
const char* const LINE_INDENT = "    ";

std::string escape_byte(unsigned char byte) {
    switch (byte) {
    case '\n':
        return "\\n";
    case '\r':
        return "\\r";
    case '\t':
        return "\\t";
    case 0x1b:
        return "\\e";
    default:
        char hex[5];
        snprintf(hex, sizeof(hex), "\\x%02x", byte);
        return hex;
    }
}

// Length of the character that starts `text` when it is kept as it is, or 0 when its first
// byte is escaped: a control character (C0, DEL, and C1 as 0xc2 0x80..0x9f) or a byte that
// starts no valid UTF-8 sequence (a stray continuation byte, an overlong form, a surrogate, a
// code point past U+10FFFF, a sequence cut short).
size_t kept_length(std::string_view text) {
    auto at = [&](size_t i) { return i < text.size() ? static_cast<unsigned char>(text[i]) : 0; };
    const int lead = at(0);
    if (lead < 0x80) {
        return lead >= 0x20 && lead != 0x7f ? 1 : 0;
    }
    const size_t length = lead < 0xc2 ? 0 : lead < 0xe0 ? 2 : lead < 0xf0 ? 3 : lead < 0xf5 ? 4 : 0;
    // The second byte's range is narrower after the leads of C1 controls (0xc2), overlong forms
    // (0xe0, 0xf0), surrogates (0xed) and code points past U+10FFFF (0xf4).
    const int low = lead == 0xc2 || lead == 0xe0 ? 0xa0 : lead == 0xf0 ? 0x90 : 0x80;
    const int high = lead == 0xed ? 0x9f : lead == 0xf4 ? 0x8f : 0xbf;
    if (length == 0 || at(1) < low || at(1) > high) {
        return 0;
    }
    for (size_t i = 2; i < length; i++) {
        if (at(i) < 0x80 || at(i) > 0xbf) {
            return 0;
        }
    }
    return length;
}

} // namespace

int log_init() {
    static log4cplus::Initializer initializer;
    // A failed start must write nothing, not even the library's own complaints.
    log4cplus::helpers::LogLog::getLogLog()->setQuietMode(true);
    log_cleanup();

    std::ifstream file(platform_path(LOG_CONF));
    std::stringstream text;
    if (!file || !(text << file.rdbuf())) {
        return -1;
    }
    log4cplus::PropertyConfigurator configurator(text);
    configurator.configure();
    if (!agent_has_output()) {
        log_cleanup();
        return -1;
    }
    log_ready = true;
    return 0;
}

void log_cleanup() {
    log_ready = false;
    log4cplus::Logger::getDefaultHierarchy().resetConfiguration();
}

void log_exit(int status) {
    log_ready = false;
    // Closing an output flushes it; other threads' later lines are dropped, not torn.
    log4cplus::Logger::getDefaultHierarchy().shutdown();
    fflush(nullptr);
    _exit(status);
}

std::string log_escape(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const size_t length = kept_length(text.substr(i));
        if (length > 0) {
            escaped.append(text.substr(i, length));
            i += length;
        } else {
            escaped += escape_byte(static_cast<unsigned char>(text[i++]));
        }
    }
    return escaped;
}

std::string log_escape_lines(std::string_view text) {
    std::string lines;
    for (size_t start = 0;;) {
        const size_t end = text.find('\n', start);
        lines += LINE_INDENT + log_escape(text.substr(start, end - start));
        if (end == std::string_view::npos) {
            return lines;
        }
        lines += '\n';
        start = end + 1;
    }
}

void log_msg(int level, const char* format, ...) {
    log4cplus::LogLevel ll = to_log4cplus(level);
    if (!log_ready || ll == log4cplus::NOT_SET_LOG_LEVEL) {
        return;
    }
    log4cplus::Logger logger = agent_logger();
    if (!logger.isEnabledFor(ll)) {
        return;
    }
    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length < 0) {
        va_end(args);
        return;
    }
    std::string text(static_cast<size_t>(length), '\0');
    std::vsnprintf(text.data(), text.size() + 1, format, args);
    va_end(args);
    logger.forcedLog(ll, text);
}
