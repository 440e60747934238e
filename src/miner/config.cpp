#include "miner/config.h"

#include "atomic_file.h"
#include "handles.h"
#include "log.h"
#include "miner/config_text.h"
#include "miner/l3plus/config.h"
#include "miner/support.h"
#include "platform.h"
#include "util.h"

#include <cassert>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace {

// Reads and parses the file (under config_mutex for the read only); null, logged, on failure.
// `raw`, when given, receives the text read.
json_ptr read_config_file(const std::string& path, std::string* raw = nullptr) {
    std::optional<std::string> read;
    {
        std::lock_guard lock(config_mutex());
        read = read_settings_file(path);
    }
    if (!read) {
        LOG_ERROR("json error: %s:%d:%d: %s", path.c_str(), -1, -1, strerror(errno));
        return nullptr;
    }
    std::string& text = *read;
    if (text.size() > SETTINGS_FILE_CAP) {
        LOG_ERROR("Refusing %s: larger than the %zu bytes a miner config may have", path.c_str(),
                  SETTINGS_FILE_CAP);
        return nullptr;
    }
    json_error_t error;
    json_ptr root(json_loadb(text.data(), text.size(), 0, &error));
    if (!root) {
        LOG_ERROR("json error: %s:%d:%d: %s", path.c_str(), error.line, error.column,
                  log_escape(error.text).c_str());
    } else if (raw != nullptr) {
        *raw = std::move(text);
    }
    return root;
}

int parse_pools(json_t* root, miner_config* config) {
    config->pool_count = 0;
    json_t* pools = json_object_get(root, "pools");
    if (!json_is_array(pools)) {
        LOG_ERROR("Pools not specifed or have wrong format");
        return -1;
    }
    // Bad elements are skipped and later ones move up; only the first three are read.
    for (size_t i = 0; i < json_array_size(pools) && i < CV_MAX_POOLS; i++) {
        const char* url = nullptr;
        const char* user = nullptr;
        const char* pass = nullptr;
        json_error_t error;
        if (json_unpack_ex(json_array_get(pools, i), &error, 0, "{s:s, s:s, s:s}", "url", &url,
                           "user", &user, "pass", &pass) != 0) {
            LOG_ERROR("%s", error.text);
            LOG_ERROR("Failed to parse pool[%d]", static_cast<int>(i));
            continue;
        }
        pool_cfg_fill(&config->pools[config->pool_count++], url, user, pass);
    }
    return 0;
}

int parse_config(json_t* root, miner_config* config) {
    *config = miner_config{};
    if (parse_pools(root, config) != 0) {
        LOG_ERROR("Failed to parse pool settings");
        return -1;
    }
    if (parse_miner_config(root, config) != 0) {
        LOG_ERROR("Failed to parse miner settings");
        return -1;
    }
    return 0;
}

int build_pools(json_t* root, const miner_config& config) {
    json_ptr pools(json_array());
    for (size_t i = 0; i < config.pool_count && i < CV_MAX_POOLS; i++) {
        const pool_config& pool = config.pools[i];
        json_t* entry =
            json_pack("{s:s, s:s, s:s}", "url", pool.url, "user", pool.worker, "pass", pool.passwd);
        if (json_array_append_new(pools.get(), entry) != 0) {
            LOG_ERROR("Failed to build pool[%d] settings", static_cast<int>(i + 1));
            return -1;
        }
    }
    return json_object_set(root, "pools", pools.get());
}

int build_config(json_t* root, const miner_config& config) {
    if (build_pools(root, config) != 0) {
        LOG_ERROR("Failed to build pool settings");
        return -1;
    }
    if (build_miner_config(root, config) != 0) {
        LOG_ERROR("Failed to build miner settings");
        return -1;
    }
    return 0;
}

// A switch that is off is stored by the absence of its key, whoever wrote it.
void remove_keys_with_false_values(json_t* root) {
    const char* key = nullptr;
    json_t* value = nullptr;
    void* next = nullptr;
    json_object_foreach_safe(root, next, key, value) {
        if (json_is_false(value)) {
            json_object_del(root, key);
        }
    }
}

// A watchdog temperature of 0 means none; the daemon wants the key absent then.
void remove_keys_with_zero_values(json_t* root) {
    const char* tempoff = json_string_value(json_object_get(root, "bitmain-tempoff"));
    if (tempoff != nullptr && strtoll(tempoff, nullptr, 10) == 0) {
        json_object_del(root, "bitmain-tempoff");
    }
}

// The daemon expects "multi-version" as the last member; members are written in insertion
// order, so it is set again after everything else.
int put_multi_version_last(json_t* root) {
    json_ptr version(json_incref(json_object_get(root, "multi-version")));
    if (!version) {
        version.reset(json_string("1"));
    }
    json_object_del(root, "multi-version");
    return json_object_set(root, "multi-version", version.get());
}

} // namespace

std::string cgminer_config_path() {
    return platform_path("/config/cgminer.conf");
}

std::mutex& config_mutex() {
    static std::mutex mutex;
    return mutex;
}

// Texts are cut at a character boundary: half a UTF-8 sequence would be refused by the JSON
// library at the next store, and then no setting could be changed any more.
void pool_cfg_fill(pool_config* pool, const char* url, const char* worker, const char* passwd) {
    assert(url != nullptr && worker != nullptr);
    // All zero first, so that equal pools compare equal byte by byte.
    *pool = pool_config{};
    copy_text(pool->url, url);
    copy_text(pool->worker, worker);
    if (passwd != nullptr) {
        copy_text(pool->passwd, passwd);
    }
}

int miner_load_config(const std::string& path, miner_config* config) {
    json_ptr root = read_config_file(path);
    if (!root) {
        return -1;
    }
    if (parse_config(root.get(), config) != 0) {
        LOG_ERROR("Failed to parse miner config");
        return -1;
    }
    return 0;
}

int miner_update_config(const std::string& path, const miner_config& config,
                        watcher_own_write* written) {
    std::string replaced;
    json_ptr root = read_config_file(path, &replaced);
    if (!root) {
        return -1;
    }
    json_ptr update(json_object());
    if (!update || build_config(update.get(), config) != 0) {
        LOG_ERROR("Failed to build miner config");
        return -1;
    }
    if (json_object_update(root.get(), update.get()) != 0) {
        LOG_ERROR("Failed to merge miner config");
        return -1;
    }
    remove_keys_with_false_values(root.get());
    remove_keys_with_zero_values(root.get());
    std::string text;
    if (put_multi_version_last(root.get()) != 0 || !config_text(root.get(), &text)) {
        LOG_ERROR("Failed to store miner config");
        return -1;
    }
    if (text.size() > SETTINGS_FILE_CAP) {
        LOG_ERROR("Refusing to store %s: larger than the %zu bytes a miner config may have",
                  path.c_str(), SETTINGS_FILE_CAP);
        return -1;
    }
    // Replaced in one step: a power cut or a full disk leaves the old file or the new one.
    std::lock_guard lock(config_mutex());
    auto write = [&text](FILE* file) {
        return fwrite(text.data(), 1, text.size(), file) == text.size();
    };
    file_identity renamed{};
    if (atomic_write(path, write, &renamed) != ATOMIC_WRITE_OK) {
        LOG_ERROR("Failed to store miner config");
        return -1;
    }
    if (written != nullptr) {
        *written = {path, renamed, std::move(text), std::move(replaced)};
    }
    return 0;
}
