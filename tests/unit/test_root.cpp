#include "test_root.h"

#include "log.h"
#include "miner/l3plus/support.h"
#include "platform.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

test_root::test_root() {
    std::string pattern = (fs::temp_directory_path() / "cvagent-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    dir = pattern;
    platform_configure(dir, "lo", 4028);
    // Process-wide flags that earlier tests may have left set.
    miner_set_auto_tune(false);
    write("/opt/corvane/etc/log.conf",
          "log4cplus.logger.agent=DEBUG, file\n"
          "log4cplus.appender.file=log4cplus::FileAppender\n"
          "log4cplus.appender.file.File=" +
              dir +
              "/agent.log\n"
              "log4cplus.appender.file.layout=log4cplus::PatternLayout\n"
              "log4cplus.appender.file.layout.ConversionPattern=%p %m%n\n");
    if (log_init() != 0) {
        throw std::runtime_error("log_init failed");
    }
}

test_root::~test_root() {
    log_cleanup();
    platform_reset();
    std::error_code ignored;
    fs::remove_all(dir, ignored);
}

std::string test_root::path(const std::string& abs) const {
    return dir + abs;
}

void test_root::write(const std::string& abs, const std::string& content) const {
    fs::create_directories(fs::path(path(abs)).parent_path());
    std::ofstream(path(abs), std::ios::binary) << content;
}

std::string test_root::read(const std::string& abs) const {
    std::stringstream text;
    text << std::ifstream(path(abs), std::ios::binary).rdbuf();
    return text.str();
}

bool test_root::exists(const std::string& abs) const {
    return fs::exists(path(abs));
}

std::string test_root::log() const {
    return read("/agent.log"); // the log file sits at the top of the root
}

std::string fixture(const std::string& name) {
    fs::path path = fs::path(__FILE__).parent_path() / "miner" / "data" / name;
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw std::runtime_error("missing fixture " + path.string());
    }
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

void install_config(const test_root& root, const std::string& name) {
    root.write("/config/cgminer.conf", fixture(name));
}

json_ptr parse_json(const std::string& text) {
    json_error_t error;
    json_ptr json(json_loads(text.c_str(), 0, &error));
    if (!json) {
        throw std::runtime_error(std::string("bad test JSON (") + error.text + "): " + text);
    }
    return json;
}
