#include "miner/network.h"

#include "atomic_file.h"
#include "log.h"
#include "platform.h"
#include "util.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

namespace {

const char* const ROUTE_FILE = "/proc/net/route";
const char* const RESOLVER_FILE = "/etc/resolv.conf";
const char* const SETTINGS_FILE = "/config/network.conf";
const char* const NETWORK_SCRIPT = "/etc/init.d/network.sh";

// Line buffers: a longer line is taken as several lines rather than grown without bound.
constexpr int SETTINGS_LINE = 1024;
constexpr int ROUTE_LINE = 1024;
constexpr int RESOLVER_LINE = 256;

// Only a complete dotted quad counts; the address is stored in network byte order.
bool parse_address(const char* text, uint32_t* addr) {
    in_addr parsed{};
    if (inet_pton(AF_INET, text, &parsed) != 1) {
        return false;
    }
    *addr = parsed.s_addr;
    return true;
}

// A record handed in by a caller may carry any count; never index past the array.
int32_t ns_held(int32_t count) {
    return std::clamp(count, 0, NET_MAX_NS);
}

// Clears the request record and names the interface (cut to IFNAMSIZ - 1 characters).
bool interface_request(int soc, unsigned long request, const char* iface, ifreq* ifr) {
    memset(ifr, 0, sizeof(*ifr));
    copy_text(ifr->ifr_name, IFNAMSIZ, iface);
    return ioctl(soc, request, ifr) == 0;
}

uint32_t ipv4_of(const sockaddr& addr) {
    sockaddr_in in{};
    memcpy(&in, &addr, sizeof(in));
    return in.sin_addr.s_addr;
}

// Kept apart so that the socket is closed before the route and resolver files are read.
int read_interface(const char* iface, netinfo* info) {
    unique_fd soc(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!soc) {
        LOG_ERROR("Failed to create socket, code: %d", soc.get());
        return -1;
    }
    ifreq ifr;
    if (!interface_request(soc.get(), SIOCGIFHWADDR, iface, &ifr)) {
        LOG_ERROR("Failed to call ioctl(soc, SIOCGIFHWADDR, &ifr)");
        return -1;
    }
    memcpy(info->mac, ifr.ifr_hwaddr.sa_data, sizeof(info->mac));
    if (!interface_request(soc.get(), SIOCGIFADDR, iface, &ifr)) {
        LOG_ERROR("Failed to call ioctl(soc, SIOCGIFADDR, &ifr)");
        return -1;
    }
    info->ip = ipv4_of(ifr.ifr_addr);
    if (!interface_request(soc.get(), SIOCGIFNETMASK, iface, &ifr)) {
        LOG_ERROR("Failed to call ioctl(soc, SIOCGIFNETMASK, &ifr)");
        return -1;
    }
    info->netmask = ipv4_of(ifr.ifr_netmask);
    return 0;
}

} // namespace

int net_get_info(const char* iface, netinfo* info) {
    memset(info, 0, sizeof(*info));
    if (read_interface(iface, info) != 0) {
        return -1;
    }
    if (get_default_gateway(&info->gateway) != 0) {
        LOG_ERROR("Failed to obtain default gateway address");
        return -1;
    }
    if (get_ns_servers(info->ns, &info->ns_count) != 0) {
        LOG_ERROR("Failed to obtain name servers");
        return -1;
    }
    return 0;
}

int get_default_gateway(uint32_t* gateway) {
    file_ptr file(fopen(platform_path(ROUTE_FILE).c_str(), "re"));
    if (!file) {
        LOG_ERROR("Failed to open /proc/net/route");
        return -1;
    }
    *gateway = 0;
    char line[ROUTE_LINE];
    while (fgets(line, sizeof(line), file.get()) != nullptr) {
        unsigned long destination = 0;
        unsigned long via = 0;
        if (sscanf(line, "%*s %lx %lx", &destination, &via) != 2) {
            continue; // the header, or a cut-off piece of a long line
        }
        if (destination == 0) {
            // The kernel prints the address word as it lies in memory: already network order.
            *gateway = static_cast<uint32_t>(via);
            break;
        }
    }
    return *gateway == 0 ? -1 : 0;
}

int get_ns_servers(uint32_t ns[NET_MAX_NS], int32_t* count) {
    *count = 0;
    memset(ns, 0, sizeof(uint32_t) * NET_MAX_NS);
    file_ptr file(fopen(platform_path(RESOLVER_FILE).c_str(), "re"));
    if (!file) {
        return -1;
    }
    char line[RESOLVER_LINE];
    while (fgets(line, sizeof(line), file.get()) != nullptr) {
        const size_t keyword = strlen("nameserver");
        if (strncmp(line, "nameserver", keyword) != 0 ||
            !isspace(static_cast<unsigned char>(line[keyword]))) {
            continue;
        }
        char* address = line + keyword;
        while (isspace(static_cast<unsigned char>(*address))) {
            address++;
        }
        char* end = address;
        while (*end != '\0' && !isspace(static_cast<unsigned char>(*end))) {
            end++;
        }
        *end = '\0';
        if (*count < NET_MAX_NS && parse_address(address, &ns[*count])) {
            (*count)++;
        }
    }
    return 0;
}

int parse_dnsservers(char* value, net_config* config) {
    const std::string original(value);
    std::replace(value, value + strlen(value), '"', ' ');
    config->ns_count = 0;
    memset(config->ns, 0, sizeof(config->ns));

    char* save = nullptr;
    for (char* token = strtok_r(value, " ", &save);
         token != nullptr && config->ns_count < NET_MAX_NS; token = strtok_r(nullptr, " ", &save)) {
        // Shorter than the shortest dotted quad "1.2.3.4".
        if (strlen(token) > 6 && parse_address(token, &config->ns[config->ns_count])) {
            config->ns_count++;
        }
    }
    if (config->ns_count == 0) {
        LOG_ERROR("Failed to parse ns-servers: %s", log_escape(original).c_str());
        return -1;
    }
    return 0;
}

int parse_line(char* line, net_config* config) {
    line[strcspn(line, "\n")] = '\0';
    line[strcspn(line, "#")] = '\0';
    if (strlen(line) < 5) {
        return 0;
    }
    // Split as strtok would: the key and the value are the first two runs without "=". The key
    // stays at its place in the line, so the caller's error line shows it.
    char* key = line + strspn(line, "=");
    size_t key_length = strcspn(key, "=");
    if (key_length == 0) {
        return -1;
    }
    char* value = key + key_length;
    const bool has_separator = *value == '=';
    if (has_separator) {
        *value++ = '\0';
        value += strspn(value, "=");
        value[strcspn(value, "=")] = '\0';
    }
    for (char* c = key; *c != '\0'; c++) {
        *c = static_cast<char>(tolower(static_cast<unsigned char>(*c)));
    }

    const bool is_hostname = strcmp(key, "hostname") == 0;
    // "hostname=" is what the agent writes for a record without a host name; it must read back.
    if (*value == '\0' && !(is_hostname && has_separator)) {
        return -1;
    }
    if (is_hostname) {
        // Zero-filled after the text, so that equal settings compare equal byte by byte.
        memset(config->hostname, 0, sizeof(config->hostname));
        copy_text(config->hostname, value);
    } else if (strcmp(key, "dhcp") == 0) {
        config->mode = strncmp(value, "true", 4) == 0 ? NET_MODE_DHCP : NET_MODE_STATIC;
    } else if (strcmp(key, "ipaddress") == 0) {
        if (parse_address(value, &config->ip)) {
            config->mode = NET_MODE_STATIC;
        }
    } else if (strcmp(key, "netmask") == 0) {
        parse_address(value, &config->netmask);
    } else if (strcmp(key, "gateway") == 0) {
        parse_address(value, &config->gateway);
    } else if (strcmp(key, "dnsservers") == 0) {
        parse_dnsservers(value, config); // logged there; a bad list does not fail the file
    } else {
        LOG_ERROR("Unsupported %s=%s", log_escape(key).c_str(), log_escape(value).c_str());
        return -1;
    }
    return 0;
}

int net_load_config(const std::string& path, net_config* config) {
    file_ptr file(fopen(path.c_str(), "re"));
    if (!file) {
        LOG_ERROR("Failed to load %s", path.c_str());
        return -1;
    }
    memset(config, 0, sizeof(*config));
    char line[SETTINGS_LINE];
    while (fgets(line, sizeof(line), file.get()) != nullptr) {
        if (parse_line(line, config) != 0) {
            LOG_ERROR("Failed to parse %s", log_escape(line).c_str());
            return -1;
        }
    }
    return 0;
}

int net_save_config(const std::string& path, const net_config& config, watcher_own_write* written) {
    char address[4][16];
    std::string text = "hostname=";
    text.append(config.hostname, strnlen(config.hostname, sizeof(config.hostname) - 1));
    if (config.mode != NET_MODE_STATIC) {
        text += "\ndhcp=true\n";
    } else {
        text += std::string("\nipaddress=") + inet_to_str(config.ip, address[0]) +
                "\nnetmask=" + inet_to_str(config.netmask, address[1]) +
                "\ngateway=" + inet_to_str(config.gateway, address[2]) + "\ndnsservers=\"";
        for (int32_t i = 0; i < ns_held(config.ns_count); i++) {
            text += std::string(i == 0 ? "" : " ") + inet_to_str(config.ns[i], address[3]);
        }
        text += "\"\n";
    }
    // What is written over, as it stands now, tells whether the server had seen it.
    std::optional<std::string> replaced;
    if (written != nullptr) {
        replaced = read_settings_file(path);
        if (!replaced && errno != ENOENT) {
            LOG_ERROR("Failed to read %s: %s", path.c_str(), strerror(errno));
        }
    }
    file_identity renamed{};
    switch (atomic_write(
        path,
        [&text](FILE* file) { return fwrite(text.data(), 1, text.size(), file) == text.size(); },
        &renamed)) {
    case ATOMIC_WRITE_OK:
        if (written != nullptr) {
            *written = {path, renamed, std::move(text), std::move(replaced)};
        }
        return 0;
    case ATOMIC_WRITE_OPEN_FAILED:
        LOG_ERROR("Failed to create %s", path.c_str());
        return -1;
    default:
        LOG_ERROR("Failed to write %s", path.c_str());
        return -1;
    }
}

int net_restart() {
    LOG_INFO("Restarting networking");
    platform_run("sync");
    platform_run(platform_shell_path(NETWORK_SCRIPT) + " restart");
    return 0;
}

json_ptr transform_net_config(const net_config& config) {
    // Both raw values are handed over to json_pack by "o".
    // The file may hold any bytes; a bad host name must not lose the whole object.
    json_t* hostname =
        json_string_lossy(
            std::string(config.hostname, strnlen(config.hostname, sizeof(config.hostname) - 1)))
            .release();
    if (config.mode != NET_MODE_STATIC) {
        return json_ptr(json_pack("{s:s, s:o}", "mode", "dhcp", "hostname", hostname));
    }
    char text[3][16];
    json_t* dnsservers = json_array();
    for (int32_t i = 0; i < ns_held(config.ns_count); i++) {
        char address[16];
        json_array_append_new(dnsservers, json_string(inet_to_str(config.ns[i], address)));
    }
    return json_ptr(json_pack("{s:s, s:o, s:s, s:s, s:s, s:o}", "mode", "static", "hostname",
                              hostname, "ip", inet_to_str(config.ip, text[0]), "netmask",
                              inet_to_str(config.netmask, text[1]), "gateway",
                              inet_to_str(config.gateway, text[2]), "dnsservers", dnsservers));
}

std::string net_config_path() {
    return platform_path(SETTINGS_FILE);
}

json_ptr cgminer_net_config() {
    const std::string path = net_config_path();
    net_config config;
    if (net_load_config(path, &config) != 0) {
        LOG_ERROR("Failed to load network config %s", path.c_str());
        return nullptr;
    }
    return json_ptr(json_pack("{s:o}", "network", transform_net_config(config).release()));
}
