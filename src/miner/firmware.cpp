#include "miner/firmware.h"

#include "handles.h"
#include "log.h"
#include "platform.h"

#include <curl/curl.h>
#include <sys/wait.h>

#include <cassert>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

const char* const CA_BUNDLE = "/opt/corvane/certs/letsencrypt.pem";
const char* const UPDATE_LOG = "/var/log/firmware_update.log";
// The firmware's command buffer; a command that would not fit is refused rather than cut,
// since a cut "rm -rf" could name a parent directory.
constexpr size_t COMMAND_SIZE = 256;

struct curl_cleanup {
    void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
using curl_ptr = std::unique_ptr<CURL, curl_cleanup>;

// Paths reach a shell command line: only characters that need no quoting pass.
bool shell_safe(const char* path) {
    if (*path == '\0' || *path == '-') {
        return false;
    }
    return strspn(path, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._/-") ==
           strlen(path);
}

// The command's exit status (or -1 when it did not end normally), after checking its paths;
// -1 with a log line when a path is unsafe or the command too long.
template <typename... Paths> int run_command(const char* format, const Paths&... paths) {
    for (const char* path : {paths...}) {
        if (!shell_safe(path)) {
            LOG_ERROR("Refusing unsafe path in firmware update command: %s",
                      log_escape(path).c_str());
            return -1;
        }
    }
    char command[COMMAND_SIZE];
    int length = snprintf(command, sizeof(command), format, paths...);
    if (length < 0 || static_cast<size_t>(length) >= sizeof(command)) {
        LOG_ERROR("Firmware update command too long");
        return -1;
    }
    int status = platform_run(command);
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

int download_update(const char* url, const char* package) {
    assert(url != nullptr && package != nullptr);
    file_ptr file(fopen(package, "wbe"));
    if (!file) {
        LOG_ERROR("Failed to create firmware update package: %s", package);
        return -1;
    }
    curl_ptr curl(curl_easy_init());
    if (!curl) {
        LOG_ERROR("Failed to obtain curl handle!");
        return -1;
    }
    const std::string ca_bundle = platform_path(CA_BUNDLE);
    curl_easy_setopt(curl.get(), CURLOPT_URL, url);
    // An error page must not be taken for the package.
    curl_easy_setopt(curl.get(), CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, file.get());
    curl_easy_setopt(curl.get(), CURLOPT_CAINFO, ca_bundle.c_str());
    LOG_INFO("Downloading firmware update");
    CURLcode result = curl_easy_perform(curl.get());
    if (result != CURLE_OK) {
        LOG_ERROR("Failed to download firmware update, code: %d", static_cast<int>(result));
        return -1;
    }
    return 0;
}

int extract_update(const char* package, const char* dir) {
    assert(package != nullptr && dir != nullptr);
    LOG_INFO("Extracting update package");
    const char* format = "tar -xzf %s -C %s && rm -f %s";
    int status = run_command(format, package, dir, package);
    if (status != 0) {
        LOG_ERROR("Failed to extract firmware update, code: %d", status);
        char command[COMMAND_SIZE];
        snprintf(command, sizeof(command), format, package, dir, package);
        LOG_ERROR("Command: %s", command);
        return -1;
    }
    return 0;
}

int apply_update(const char* dir) {
    LOG_INFO("Applying firmware update");
    const std::string log = platform_path(UPDATE_LOG);
    if (run_command("cd %s && ./update.sh > %s", dir, log.c_str()) != 0) {
        LOG_ERROR("Failed to apply firmware update, check /var/log/firmware_update.log for "
                  "details");
        return -1;
    }
    return 0;
}

int remove_update(const char* dir) {
    int status = run_command("rm -rf %s", dir);
    if (status != 0) {
        LOG_ERROR("Failed to remove update folder, code: %d", status);
        return -1;
    }
    return 0;
}

void firmware_update(const char*) {}
