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
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7f) {
            escaped += c;
        } else if (c == '\n') {
            escaped += "\\n";
        } else if (c == '\r') {
            escaped += "\\r";
        } else if (c == '\t') {
            escaped += "\\t";
        } else if (byte == 0x1b) {
            escaped += "\\e";
        } else {
            char hex[5];
            snprintf(hex, sizeof(hex), "\\x%02x", byte);
            escaped += hex;
        }
    }
    return escaped;
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
