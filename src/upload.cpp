#include "upload.h"

#include "atomic_file.h"
#include "handles.h"
#include "log.h"
#include "miner/config.h"
#include "miner/l3plus/support.h"
#include "miner/network.h"
#include "platform.h"
#include "protocol.h"
#include "util.h"

#include <mbedtls/sha256.h>
#include <mbedtls/version.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace {

const char* const RECORD = "/var/run/cvagent-uploaded.json";

enum settings_file { MINER_CFG, NET_CFG, FILE_COUNT };
const char* const file_keys[FILE_COUNT] = {"cgminer.conf", "network.conf"};

// A file's content by its SHA-256; all zero for a file that is not there.
using digest = std::array<unsigned char, 32>;
using contents = std::array<digest, FILE_COUNT>;

std::mutex upload_lock;
struct upload_state {
    bool known = false; // whether `held` is what the server holds
    contents held{};
    // Uploads queued on the live session and not yet sent, oldest first.
    std::vector<std::pair<uint32_t, contents>> queued;
    uint32_t last_id = 0;
    std::string server; // whose copy the record describes
    std::string device;
} state; // guarded by upload_lock

std::string file_path(int file) {
    return file == MINER_CFG ? cgminer_config_path() : net_config_path();
}

digest digest_of(const std::optional<std::string>& text) {
    digest out{};
    if (!text) {
        return out;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(text->data());
#if MBEDTLS_VERSION_MAJOR >= 3
    int result = mbedtls_sha256(bytes, text->size(), out.data(), 0);
#else
    int result = mbedtls_sha256_ret(bytes, text->size(), out.data(), 0);
#endif
    if (result != 0) {
        // Never equal to a real file's, so the worst is an upload too many.
        LOG_ERROR("Failed to hash a settings file");
        out.fill(0xff);
    }
    return out;
}

std::optional<std::string> read_text(const std::string& path) {
    std::optional<std::string> text = read_settings_file(path);
    if (!text && errno != ENOENT) {
        LOG_ERROR("Failed to read %s: %s", path.c_str(), strerror(errno));
    }
    return text;
}

contents read_contents() {
    contents now{};
    for (int file = 0; file < FILE_COUNT; file++) {
        now[static_cast<size_t>(file)] = digest_of(read_text(file_path(file)));
    }
    return now;
}

// Caller holds upload_lock.
void save_record() {
    json_ptr record(
        json_pack("{s:s, s:s}", "server", state.server.c_str(), "device_id", state.device.c_str()));
    for (size_t file = 0; record && file < FILE_COUNT; file++) {
        char hex[2 * sizeof(digest) + 1];
        json_object_set_new(record.get(), file_keys[file],
                            json_string(util_hex(state.held[file].data(), sizeof(digest), hex)));
    }
    c_text text(record ? json_dumps(record.get(), JSON_COMPACT) : nullptr);
    const std::string path = platform_path(RECORD);
    if (!text || atomic_write(path, [&text](FILE* f) { return fputs(text.get(), f) >= 0; }) !=
                     ATOMIC_WRITE_OK) {
        LOG_ERROR("Failed to save %s", path.c_str());
    }
}

bool parse_digest(const char* hex, digest* out) {
    if (hex == nullptr || strlen(hex) != 2 * sizeof(digest)) {
        return false;
    }
    for (size_t i = 0; i < sizeof(digest); i++) {
        unsigned value = 0;
        if (sscanf(hex + 2 * i, "%2x", &value) != 1) {
            return false;
        }
        (*out)[i] = static_cast<unsigned char>(value);
    }
    return true;
}

} // namespace

void upload_load_record(const std::string& server, const std::string& device) {
    std::lock_guard held(upload_lock);
    state.server = server;
    state.device = device;
    std::optional<std::string> text = read_text(platform_path(RECORD));
    if (!text) {
        return;
    }
    json_ptr record(json_loadb(text->data(), text->size(), 0, nullptr));
    const char* recorded_server = json_string_value(json_object_get(record.get(), "server"));
    const char* recorded_device = json_string_value(json_object_get(record.get(), "device_id"));
    if (recorded_server == nullptr || recorded_device == nullptr || server != recorded_server ||
        device != recorded_device) {
        return; // another server's, or another identity's: this server may hold anything
    }
    contents recorded{};
    for (size_t file = 0; file < FILE_COUNT; file++) {
        if (!parse_digest(json_string_value(json_object_get(record.get(), file_keys[file])),
                          &recorded[file])) {
            return;
        }
    }
    state.held = recorded;
    state.known = true;
}

int upload_miner_config() {
    // Read before the snapshot: an edit in between can only make the server's copy look older
    // than it is, which costs an upload at most.
    contents now = read_contents();
    json_ptr message(json_pack("{s:s}", "type", "update_config"));
    if (json_ptr miner = cgminer_config()) {
        json_object_update(message.get(), miner.get());
    }
    if (json_ptr network = cgminer_net_config()) {
        json_object_update(message.get(), network.get());
    }
    uint32_t id = 0;
    {
        // Noted first: the main thread may send it before the enqueue returns.
        std::lock_guard held(upload_lock);
        if (++state.last_id == 0) {
            ++state.last_id; // 0 marks a message that is no upload
        }
        id = state.last_id;
        state.queued.emplace_back(id, now);
    }
    int result = agent_enqueue_message(std::move(message), id);
    if (result != 0) {
        std::lock_guard held(upload_lock);
        std::erase_if(state.queued, [id](const auto& queued) { return queued.first == id; });
        LOG_INFO("Configuration upload follows the next authentication");
    }
    return result;
}

bool upload_owed() {
    std::lock_guard held(upload_lock);
    return state.queued.empty() && (!state.known || read_contents() != state.held);
}

void upload_sent(uint32_t id) {
    std::lock_guard held(upload_lock);
    auto sent = std::find_if(state.queued.begin(), state.queued.end(),
                             [id](const auto& queued) { return queued.first == id; });
    if (sent == state.queued.end()) {
        return;
    }
    state.held = sent->second;
    state.known = true;
    // Older ones that never left describe older files.
    state.queued.erase(state.queued.begin(), sent + 1);
    save_record();
}

void upload_session_ended() {
    std::lock_guard held(upload_lock);
    state.queued.clear();
}

void upload_own_write(watcher_own_write& written) {
    if (written.path.empty()) {
        return;
    }
    size_t file = written.path == file_path(MINER_CFG) ? MINER_CFG : NET_CFG;
    std::lock_guard held(upload_lock);
    if (state.known && digest_of(written.replaced) == state.held[file]) {
        state.held[file] = digest_of(written.text);
        save_record();
    } else {
        written.report = true;
    }
}

void upload_reset() {
    std::lock_guard held(upload_lock);
    state = upload_state{};
}
