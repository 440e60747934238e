// The server's network settings: "config_network" and the "network" section of "config".
#include "handlers.h"

#include "log.h"
#include "miner/network.h"
#include "miner/watcher.h"
#include "upload.h"

#include <arpa/inet.h>

#include <cstring>

namespace {

constexpr size_t DNS_LOOKED_AT = 8;

// The firmware's network script reads the host name out of the settings file with the shell:
// only a name that neither the file format nor a shell can misread gets there.
bool valid_hostname(const char* name, size_t length) {
    return length < sizeof(net_config::hostname) && strlen(name) == length && name[0] != '-' &&
           strspn(name, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-.") ==
               length;
}

// An address that is not a dotted quad leaves the field 0.0.0.0.
uint32_t address_of(const char* text) {
    in_addr addr{};
    return inet_pton(AF_INET, text, &addr) == 1 ? addr.s_addr : 0;
}

// Fills the static addresses; -1 (logged) when a member is missing or no name server is usable.
int read_static(const char* ip, const char* netmask, const char* gateway, const char* hostname,
                json_t* dnsservers, net_config* config) {
    if (ip == nullptr || netmask == nullptr || gateway == nullptr || dnsservers == nullptr ||
        hostname == nullptr) {
        LOG_ERROR("Static network mode requires ALL parameters");
        return -1;
    }
    if (!json_is_array(dnsservers)) {
        LOG_ERROR("dnsservers must be an array");
        return -1;
    }
    config->mode = NET_MODE_STATIC;
    config->ip = address_of(ip);
    config->netmask = address_of(netmask);
    config->gateway = address_of(gateway);
    for (size_t i = 0; i < json_array_size(dnsservers) && i < DNS_LOOKED_AT; i++) {
        in_addr addr{};
        const char* text = json_string_value(json_array_get(dnsservers, i));
        if (text != nullptr && inet_pton(AF_INET, text, &addr) == 1) {
            config->ns[config->ns_count++] = addr.s_addr;
        }
    }
    if (config->ns_count == 0) {
        LOG_ERROR("Failed to parse ns-servers");
        return -1;
    }
    return 0;
}

// The agent's own write must not come back from the watcher as a change to upload.
int save_settings(const std::string& path, const net_config& config) {
    watcher_pause();
    watcher_own_write written;
    int result = net_save_config(path, config, &written);
    upload_own_write(written);
    watcher_resume(written);
    return result;
}

} // namespace

int config_network(json_t* payload) {
    const std::string path = net_config_path();
    net_config current;
    if (net_load_config(path, &current) != 0) {
        LOG_ERROR("Failed to load network config");
        return -1;
    }
    const char* mode = nullptr;
    const char* ip = nullptr;
    const char* netmask = nullptr;
    const char* gateway = nullptr;
    const char* hostname = nullptr;
    size_t hostname_length = 0;
    json_t* dnsservers = nullptr;
    json_error_t error;
    if (json_unpack_ex(payload, &error, 0, "{s:s, s?s, s?s, s?s, s?s%, s?o}", "mode", &mode, "ip",
                       &ip, "netmask", &netmask, "gateway", &gateway, "hostname", &hostname,
                       &hostname_length, "dnsservers", &dnsservers) != 0) {
        LOG_ERROR("Failed to parse net config request - %s", error.text);
        return -1;
    }
    if (hostname != nullptr && !valid_hostname(hostname, hostname_length)) {
        LOG_ERROR("Refusing host name: only letters, digits, '-' and '.', not starting with '-', "
                  "at most %zu characters",
                  sizeof(net_config::hostname) - 1);
        return -1;
    }

    net_config wanted;
    memset(&wanted, 0, sizeof(wanted));
    if (hostname != nullptr) {
        strcpy(wanted.hostname, hostname);
    }
    if (strcmp(mode, "dhcp") == 0) {
        wanted.mode = NET_MODE_DHCP;
    } else if (read_static(ip, netmask, gateway, hostname, dnsservers, &wanted) != 0) {
        return -1;
    }
    if (memcmp(&wanted, &current, sizeof(wanted)) == 0) {
        return 0;
    }
    if (save_settings(path, wanted) != 0) {
        LOG_ERROR("Failed to save network config");
        return -1;
    }
    return 1;
}

int agent_config_network(json_t* message) {
    int result = config_network(message);
    if (result == 1) {
        net_restart();
    }
    return result;
}
