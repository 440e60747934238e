#include "miner/l3plus/commands.h"

#include "atomic_file.h"
#include "handlers.h"
#include "log.h"
#include "miner/l3plus/support.h"
#include "platform.h"
#include "protocol.h"
#include "util.h"

#include <mbedtls/md5.h>
#include <mbedtls/version.h>
#include <unistd.h>

#include <cassert>
#include <cstdio>
#include <cstring>

namespace {

const char* const HTDIGEST_FILE = "/config/lighttpd-htdigest.user";
const char* const WEB_USER = "root";
const char* const WEB_REALM = "antMiner Configuration";
// The firmware's buffer for "user:realm:password".
constexpr size_t DIGEST_INPUT_SIZE = 256;
// The defaults of the global frequency and voltage, whatever the current ones are.
constexpr int DEFAULT_FREQ = 384;
constexpr int DEFAULT_VOLT = 8;

// Tracks whether any setter changed something; -1 ends the caller at once.
bool apply(int result, bool* changed) {
    if (result > 0) {
        *changed = true;
    }
    return result >= 0;
}

int md5(const char* text, unsigned char digest[16]) {
    mbedtls_md5_context context;
    mbedtls_md5_init(&context);
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
#if MBEDTLS_VERSION_MAJOR >= 3
    int result = mbedtls_md5_starts(&context) ||
                 mbedtls_md5_update(&context, bytes, strlen(text)) ||
                 mbedtls_md5_finish(&context, digest);
#else
    int result = mbedtls_md5_starts_ret(&context) ||
                 mbedtls_md5_update_ret(&context, bytes, strlen(text)) ||
                 mbedtls_md5_finish_ret(&context, digest);
#endif
    mbedtls_md5_free(&context);
    return result != 0 ? -1 : 0;
}

} // namespace

int config_fans(json_t* request) {
    assert(request != nullptr);
    const char* mode = nullptr;
    int target_temp = 0;
    int speed = 0;
    int silent_start = 0;
    json_error_t error;
    if (json_unpack_ex(request, &error, 0, "{s:s, s?i, s?i, s?b}", "mode", &mode, "target_temp",
                       &target_temp, "speed", &speed, "silent_start", &silent_start) != 0) {
        LOG_ERROR("Failed to parse config fans request - %s", error.text);
        return -1;
    }
    return cgminer_fans(strcmp(mode, "manual") == 0 ? FAN_MODE_MANUAL : FAN_MODE_AUTO, speed,
                        target_temp, silent_start != 0);
}

int config_perf(json_t* request) {
    assert(request != nullptr);
    const char* profile = "0";
    int freq = 0;
    int volt = 0;
    json_error_t error;
    if (json_unpack_ex(request, &error, 0, "{s?s, s:i, s:i}", "profile", &profile, "freq", &freq,
                       "volt", &volt) != 0) {
        LOG_ERROR("Failed to prase perf req - %s", error.text);
        return -1;
    }
    bool changed = false;
    if (!apply(cgminer_perf_profile(profile), &changed) ||
        !apply(cgminer_global_freq(static_cast<uint16_t>(freq)), &changed) ||
        !apply(cgminer_global_volt(volt), &changed)) {
        return -1;
    }
    // Every profile but "0" sets the chains itself; their own settings would fight it.
    if (profile[0] != '0') {
        disable_per_chain_settings();
    }
    return changed ? 1 : 0;
}

int config_autotuner(json_t* request) {
    assert(request != nullptr);
    int stage1 = 0;
    int stage2 = 0;
    int stage3 = 0;
    int stage3_interval = 3;
    int step = 0;
    int min_freq = 0;
    int deviation = 0;
    int test_time = 0;
    int down_freq_hw = 0;
    int reset_chips = 0;
    json_error_t error;
    if (json_unpack_ex(request, &error, 0, "{s:b, s:b, s:b, s?i, s:i, s:i, s:i, s:i, s:i, s?b}",
                       "stage1", &stage1, "stage2", &stage2, "stage3", &stage3, "stage3_interval",
                       &stage3_interval, "downclock_step", &step, "min_freq", &min_freq,
                       "hashrate_deviation", &deviation, "test_time", &test_time, "down_freq_hw",
                       &down_freq_hw, "reset_chips", &reset_chips) != 0) {
        LOG_ERROR("Failed to parse config autotuner request - %s", error.text);
        return -1;
    }
    return cgminer_autotuner(stage1 != 0, stage2 != 0, stage3 != 0, stage3_interval, step,
                             static_cast<uint16_t>(min_freq), deviation, test_time, down_freq_hw,
                             reset_chips != 0);
}

void disable_per_chain_settings() {
    for (int32_t chain : CHAIN_IDS) {
        const auto id = static_cast<uint8_t>(chain);
        cgminer_chain_freq(id, 0);
        cgminer_chain_volt(id, 0.0);
        for (int chip = 1; chip <= CV_MAX_CHIPS; chip++) {
            cgminer_chip_freq(id, static_cast<uint8_t>(chip), 0);
        }
    }
    json_t* chains = default_chain_settings().release();
    agent_enqueue_message(
        json_ptr(json_pack("{s:s, s:o}", "type", "update_config", "chains", chains)));
}

json_ptr default_chain_settings() {
    json_ptr chains(json_array());
    for (int32_t chain : CHAIN_IDS) {
        char id[12];
        snprintf(id, sizeof(id), "%d", chain);
        json_array_append_new(chains.get(),
                              json_pack("{s:s, s:b, s:b, s:i, s:i, s:[]}", "id", id,
                                        "use_global_freq", true, "use_global_volt", true, "freq",
                                        DEFAULT_FREQ, "volt", DEFAULT_VOLT, "chips"));
    }
    return chains;
}

int save_file(const std::string& path, const char* data, bool must_exist) {
    if (must_exist && access(path.c_str(), F_OK) != 0) {
        return 0;
    }
    if (atomic_write(path, [data](FILE* file) { return fputs(data, file) >= 0; }) !=
        ATOMIC_WRITE_OK) {
        LOG_ERROR("Failed to create network config file");
        return -1;
    }
    return 0;
}

int agent_config_web_access(json_t* message) {
    const char* password = nullptr;
    if (json_unpack(message, "{s:s}", "new_password", &password) != 0) {
        c_text text(json_dumps(message, JSON_INDENT(2)));
        LOG_ERROR("Wrong set web password request: \n%s",
                  text ? log_escape_lines(text.get()).c_str() : "");
        return -1;
    }
    char credentials[DIGEST_INPUT_SIZE];
    const int length =
        snprintf(credentials, sizeof(credentials), "%s:%s:%s", WEB_USER, WEB_REALM, password);
    // A cut password would be stored as something the user never chose.
    if (length < 0 || static_cast<size_t>(length) >= sizeof(credentials)) {
        LOG_ERROR("Web password too long: at most %zu characters",
                  sizeof(credentials) - 1 - strlen(WEB_USER) - strlen(WEB_REALM) - 2);
        return -1;
    }
    unsigned char digest[16];
    if (md5(credentials, digest) != 0) {
        LOG_ERROR("Failed to compute the web password digest");
        return -1;
    }
    char ha1[33];
    char line[DIGEST_INPUT_SIZE];
    snprintf(line, sizeof(line), "%s:%s:%s", WEB_USER, WEB_REALM,
             util_hex(digest, sizeof(digest), ha1));
    return save_file(platform_path(HTDIGEST_FILE), line, false);
}
