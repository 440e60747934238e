#include "fixtures.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

std::string fixture(const std::string& name) {
    std::filesystem::path path = std::filesystem::path(__FILE__).parent_path() / "data" / name;
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
