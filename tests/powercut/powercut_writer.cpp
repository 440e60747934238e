// Writes one of the files the agent keeps through the agent's own save function, once, for
// powercut.py to trace.
//
// usage: powercut_writer agent-config|network|daemon-config|web-password PATH a|b
//   a, b: the version to write; exit status 0 when the save succeeded, else 1.
//   daemon-config merges into the daemon configuration file already at PATH.
#include "config.h"
#include "miner/config.h"
#include "miner/l3plus/commands.h"
#include "miner/network.h"
#include "miner/support.h"

#include <arpa/inet.h>

#include <cstring>
#include <string>

namespace {

int save_agent_config(const std::string& path, bool second) {
    agent_config config{};
    strcpy(config.api_key,
           second ? "powercut-key-BBBBBBBBBBBBBBBBBBBB" : "powercut-key-AAAAAAAAAAAAAAAAAAAA");
    strcpy(config.dev_id,
           second ? "BBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBB" : "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA");
    return agent_save_config(path, config);
}

int save_network(const std::string& path, bool second) {
    net_config config{};
    if (second) {
        config.mode = NET_MODE_STATIC;
        strcpy(config.hostname, "beta");
        inet_pton(AF_INET, "192.168.7.20", &config.ip);
        inet_pton(AF_INET, "255.255.255.0", &config.netmask);
        inet_pton(AF_INET, "192.168.7.1", &config.gateway);
        const char* servers[] = {"8.8.8.8", "1.1.1.1", "9.9.9.9"};
        for (const char* server : servers) {
            inet_pton(AF_INET, server, &config.ns[config.ns_count++]);
        }
    } else {
        strcpy(config.hostname, "alpha");
    }
    return net_save_config(path, config);
}

int save_daemon_config(const std::string& path, bool second) {
    miner_config config{};
    if (miner_load_config(path, &config) != 0) {
        return -1;
    }
    pool_cfg_fill(&config.pools[0],
                  second ? "stratum+tcp://b.example:3333" : "stratum+tcp://a.example:3333",
                  "worker", "x");
    config.bitmain_fan_pwm = second ? 80 : 40;
    return miner_update_config(path, config);
}

int save_web_password(const std::string& path, bool second) {
    return save_file(path,
                     second ? "admin:antMiner Configuration:0123456789abcdef0123456789abcdef\n"
                            : "admin:antMiner Configuration:fedcba9876543210fedcba9876543210\n",
                     true);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        return 2;
    }
    const std::string kind = argv[1];
    const std::string path = argv[2];
    auto save = kind == "network"         ? save_network
                : kind == "daemon-config" ? save_daemon_config
                : kind == "web-password"  ? save_web_password
                                          : save_agent_config;
    return save(path, strcmp(argv[3], "b") == 0) == 0 ? 0 : 1;
}
