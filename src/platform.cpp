#include "platform.h"

#include <cstdlib>

namespace {

std::string root;
std::string iface = "eth0";
int api_port = 4028;

} // namespace

void platform_configure(const std::string& new_root, const std::string& new_iface,
                        int new_api_port) {
    root = new_root;
    iface = new_iface;
    api_port = new_api_port;
}

void platform_reset() {
    platform_configure("", "eth0", 4028);
}

std::string platform_path(const std::string& path) {
    return root + path;
}

const std::string& platform_root() {
    return root;
}

const std::string& platform_iface() {
    return iface;
}

int platform_api_port() {
    return api_port;
}

int platform_run(const std::string& command) {
    return std::system(command.c_str());
}

pipe_ptr platform_popen(const std::string& command) {
    return pipe_ptr(popen(command.c_str(), "re"));
}
