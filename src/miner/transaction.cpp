// The change transaction on the daemon's configuration file: a command loads the file into
// the shared record, its setters change the record, and the end stores it when they did.
#include "log.h"
#include "miner/config.h"
#include "miner/support.h"
#include "miner/watcher.h"
#include "upload.h"

#include <cstring>

namespace {

// Used by the thread that dispatches the server's commands only, hence no lock.
miner_config shared_config{};
bool config_loaded = false;
bool config_changed = false;

} // namespace

int cgminer_config_begin_changes() {
    std::string path = cgminer_config_path();
    // Loaded aside: a failed load must not leave a half-filled record behind a loaded flag.
    miner_config loaded{};
    if (miner_load_config(path, &loaded) != 0) {
        LOG_ERROR("Failed to load cgminer config from %s", path.c_str());
        return -1;
    }
    shared_config = loaded;
    config_loaded = true;
    config_changed = false;
    return 0;
}

int cgminer_config_end_changes() {
    int result = 0;
    if (config_changed) {
        result = 1;
        std::string path = cgminer_config_path();
        watcher_pause();
        watcher_own_write written;
        if (miner_update_config(path, shared_config, &written) != 0) {
            LOG_ERROR("Failed to save config file to %s", path.c_str());
            result = -1;
        }
        upload_own_write(written);
        watcher_resume(written);
    }
    cgminer_config_reset();
    return result;
}

void cgminer_config_reset() {
    shared_config = miner_config{};
    config_loaded = false;
    config_changed = false;
}

miner_config& shared_miner_config() {
    return shared_config;
}

bool miner_config_is_loaded() {
    return config_loaded;
}

void miner_config_mark_changed() {
    config_changed = true;
}

int cgminer_pool(int index, const char* url, const char* worker, const char* passwd) {
    if (!config_loaded) {
        LOG_ERROR("Miner config is not loaded!");
        return -1;
    }
    if (index >= static_cast<int>(CV_MAX_POOLS)) {
        LOG_ERROR("Invalid poolid - %d, it should be less than %d", index,
                  static_cast<int>(CV_MAX_POOLS));
        return -1;
    }
    // A negative index compares as a huge one here.
    if (static_cast<size_t>(static_cast<unsigned>(index)) > shared_config.pool_count) {
        LOG_ERROR("Invalid poolid - %d, it should be less or equeal to %d", index,
                  static_cast<int>(shared_config.pool_count));
        return -1;
    }
    size_t slot = static_cast<size_t>(index);
    if (slot == shared_config.pool_count) {
        shared_config.pool_count++;
        config_changed = true;
    }
    pool_config fresh;
    pool_cfg_fill(&fresh, url, worker, passwd);
    if (memcmp(&fresh, &shared_config.pools[slot], sizeof(fresh)) == 0) {
        return 0;
    }
    shared_config.pools[slot] = fresh;
    config_changed = true;
    return 1;
}
