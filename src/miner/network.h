// Network settings: the live state of the interface, the stored settings file and the
// restart of networking.
#pragma once

#include "handles.h"
#include "miner/watcher.h"

#include <cstdint>
#include <string>

enum net_modes {
    NET_MODE_DHCP = 0,
    NET_MODE_STATIC = 1,
};

constexpr int NET_MAX_NS = 8;

// Live state of an interface; addresses in network byte order.
struct netinfo {
    uint8_t mac[6];
    uint32_t ip;
    uint32_t netmask;
    uint32_t gateway;
    uint32_t ns[NET_MAX_NS];
    int32_t ns_count;
};

// Stored settings; always built from an all-zero record so that equal settings compare
// equal field by field.
struct net_config {
    net_modes mode;
    char hostname[50];
    uint32_t ip;
    uint32_t netmask;
    uint32_t gateway;
    uint32_t ns[NET_MAX_NS];
    int32_t ns_count;
};

int net_get_info(const char* iface, netinfo* info);
int get_default_gateway(uint32_t* gateway);
int get_ns_servers(uint32_t ns[NET_MAX_NS], int32_t* count);

// The network settings file, "/config/network.conf" (relocated by the platform).
std::string net_config_path();

int net_load_config(const std::string& path, net_config* config);
int parse_line(char* line, net_config* config);
int parse_dnsservers(char* value, net_config* config);
// Replaces the file with `config` in the firmware's format; `written`, when given, receives
// what was renamed in. 0, or -1 (logged).
int net_save_config(const std::string& path, const net_config& config,
                    watcher_own_write* written = nullptr);

// Runs "sync" then the network init script with "restart"; returns 0 once it has finished.
int net_restart();

// New JSON object describing the settings.
json_ptr transform_net_config(const net_config& config);

// New object {"network": ...} from the settings file, or nullptr when it cannot be read.
json_ptr cgminer_net_config();
