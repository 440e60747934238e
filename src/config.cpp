#include "config.h"

#include "atomic_file.h"
#include "handles.h"
#include "log.h"
#include "miner/network.h"
#include "platform.h"
#include "util.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The file holds two short strings; anything this big is not ours and is not loaded.
constexpr off_t MAX_CONFIG_SIZE = 64 * 1024;
constexpr size_t MIN_API_KEY_LENGTH = 25;

} // namespace

int parse_config(json_t* root, agent_config* config) {
    *config = agent_config{};
    const char* api_key = nullptr;
    const char* dev_id = nullptr;
    json_error_t error;
    if (json_unpack_ex(root, &error, 0, "{s:s, s?s}", "api_key", &api_key, "dev_id", &dev_id) !=
        0) {
        LOG_ERROR("%s", error.text);
        return -1;
    }
    if (strlen(api_key) < MIN_API_KEY_LENGTH) {
        LOG_ERROR("API key length is to short");
        return -1;
    }
    copy_text(config->api_key, api_key);
    if (dev_id != nullptr) {
        copy_text(config->dev_id, dev_id);
    } else {
        config->fresh_install = true;
    }
    return 0;
}

int agent_load_config(const std::string& path, agent_config* config) {
    struct stat file_stat {};
    if (stat(path.c_str(), &file_stat) == 0 && file_stat.st_size > MAX_CONFIG_SIZE) {
        LOG_ERROR("%s is too large (%lld bytes)", path.c_str(),
                  static_cast<long long>(file_stat.st_size));
        return -1;
    }
    json_error_t error;
    json_ptr root(json_load_file(path.c_str(), 0, &error));
    if (!root) {
        LOG_ERROR("%s", log_escape(error.text).c_str());
        return -1;
    }
    if (parse_config(root.get(), config) != 0) {
        LOG_ERROR("Failed to parse config file");
        return -1;
    }
    if (config->fresh_install) {
        gen_device_id(config->dev_id);
    }
    return 0;
}

int agent_save_config(const std::string& path, const agent_config& config) {
    json_ptr root(json_pack("{s:s, s:s}", "api_key", config.api_key, "dev_id", config.dev_id));
    if (!root) {
        LOG_ERROR("Failed to write to config fle");
        return -1;
    }
    atomic_write_result result = atomic_write(
        path, [&](FILE* file) { return json_dumpf(root.get(), file, JSON_INDENT(2)) == 0; });
    if (result == ATOMIC_WRITE_OPEN_FAILED) {
        LOG_ERROR("Failed to open config file");
        return -1;
    }
    if (result != ATOMIC_WRITE_OK) {
        LOG_ERROR("Failed to write to config fle");
        return -1;
    }
    return 0;
}

void gen_pseudo_device_id(char (&dev_id)[33]) {
    static const char digits[] = "0123456789ABCDEF";
    for (size_t i = 0; i < 32; i++) {
        dev_id[i] = digits[rand() % 16];
    }
    dev_id[32] = '\0';
}

void gen_device_id(char (&dev_id)[33]) {
    netinfo info{};
    if (net_get_info(platform_iface().c_str(), &info) != 0) {
        gen_pseudo_device_id(dev_id);
        return;
    }
    snprintf(dev_id, sizeof(dev_id), "%08X%08X-%02X%02X%02X%02X%02X%02X", 0u, 0u, info.mac[0],
             info.mac[1], info.mac[2], info.mac[3], info.mac[4], info.mac[5]);
}
