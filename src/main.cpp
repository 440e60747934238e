// The production agent: the real paths, interface "eth0" and the daemon on port 4028.
#include "agent.h"

int main(int argc, char** argv) {
    return agent_main(argc, argv);
}
