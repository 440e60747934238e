// Saves one of the agent's files through its own save function, for powercut.py to trace.
// usage: powercut_writer agent-config|network|daemon-config|web-password PATH a|b
//   a, b: the version to write (daemon-config merges into the file at PATH); exit status 0
//   when the save succeeded, else 1.
#include "config.h"
#include "miner/config.h"
#include "miner/l3plus/commands.h"
#include "miner/network.h"
#include "miner/support.h"

#include <cstring>
#include <string>

int main(int argc, char** argv) {
    if (argc != 4 || (strcmp(argv[3], "a") != 0 && strcmp(argv[3], "b") != 0)) {
        return 2;
    }
    const std::string kind = argv[1];
    const std::string path = argv[2];
    const std::string mark(16, argv[3][0]); // what tells the versions apart
    int result = -1;
    if (kind == "agent-config") {
        agent_config config{};
        strcpy(config.api_key, ("powercut-key-" + mark).c_str());
        strcpy(config.dev_id, (mark + mark).c_str());
        result = agent_save_config(path, config);
    } else if (kind == "network") {
        net_config config{};
        strcpy(config.hostname, ("host-" + mark).c_str());
        result = net_save_config(path, config);
    } else if (kind == "daemon-config") {
        miner_config config{};
        if (miner_load_config(path, &config) == 0) {
            pool_cfg_fill(&config.pools[0], ("stratum+tcp://" + mark + ".example:3333").c_str(),
                          "worker", "x");
            config.bitmain_fan_pwm = argv[3][0] == 'b' ? 80 : 40;
            result = miner_update_config(path, config);
        }
    } else if (kind == "web-password") {
        result =
            save_file(path, ("admin:antMiner Configuration:" + mark + mark + "\n").c_str(), true);
    }
    return result == 0 ? 0 : 1;
}
