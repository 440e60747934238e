// The agent with everything that reaches the operating system relocated under a root
// directory, for demos and end-to-end tests on a machine that is not a miner. It takes the
// agent's own options plus --root DIR (required), --iface NAME and --api-port PORT.
#include "agent.h"
#include "platform.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

[[noreturn]] void sandbox_refuse(const std::string& why) {
    fprintf(stderr,
            "cvagent-sandbox: %s\n"
            "usage: cvagent-sandbox --root DIR [--iface NAME] [--api-port PORT] [agent options]\n"
            "  DIR holds the relocated file system; DIR/bin must provide reboot, sync and pidof.\n",
            why.c_str());
    exit(1);
}

// Accepts "--name value" and "--name=value"; returns true when argv[*i] was that option.
bool take_option(const char* name, int argc, char** argv, int* i, std::string* value) {
    size_t length = strlen(name);
    if (strncmp(argv[*i], name, length) != 0) {
        return false;
    }
    if (argv[*i][length] == '=') {
        *value = argv[*i] + length + 1;
        return true;
    }
    if (argv[*i][length] != '\0') {
        return false;
    }
    if (*i + 1 >= argc) {
        sandbox_refuse(std::string(name) + " needs a value");
    }
    *value = argv[++*i];
    return true;
}

} // namespace

int main(int argc, char** argv) {
    std::string root;
    std::string iface = "eth0";
    std::string port_text = "4028";
    std::vector<char*> agent_args = {argv[0]};
    for (int i = 1; i < argc; i++) {
        if (!take_option("--root", argc, argv, &i, &root) &&
            !take_option("--iface", argc, argv, &i, &iface) &&
            !take_option("--api-port", argc, argv, &i, &port_text)) {
            agent_args.push_back(argv[i]);
        }
    }
    if (root.empty() || root[0] != '/') {
        sandbox_refuse("--root DIR (an absolute path) is required");
    }
    char* end = nullptr;
    long port = strtol(port_text.c_str(), &end, 10);
    if (*end != '\0' || port < 1 || port > 65535) {
        sandbox_refuse("--api-port must be a port number");
    }
    // Without its own stubs the sandbox could reboot or otherwise touch the real machine.
    for (const char* stub : {"reboot", "sync", "pidof"}) {
        std::string path = root + "/bin/" + stub;
        if (access(path.c_str(), X_OK) != 0) {
            sandbox_refuse("missing stub " + path);
        }
    }
    std::string path = root + "/bin:/usr/local/bin:/usr/bin:/bin";
    setenv("PATH", path.c_str(), 1);

    platform_configure(root, iface, static_cast<int>(port));
    // Tests let time pass by writing seconds here (the connection-hang rule, time limits).
    platform_set_clock_offset_file(root + "/var/run/clock.offset");
    agent_args.push_back(nullptr);
    return agent_main(static_cast<int>(agent_args.size()) - 1, agent_args.data());
}
