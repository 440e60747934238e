// Arbitrary bytes as the network settings file. A file that loads must describe settings that
// survive being written back and read again unchanged, as the network command relies on.
#include "miner/network.h"

#include <jansson.h>
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

void require(bool holds) {
    if (!holds) {
        abort();
    }
}

std::string scratch_file(const char* name) {
    static std::string dir = [] {
        char pattern[] = "/tmp/cvagent-fuzz-XXXXXX";
        require(mkdtemp(pattern) != nullptr);
        return std::string(pattern);
    }();
    return dir + "/" + name;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = scratch_file("network.conf");
    FILE* file = fopen(path.c_str(), "wb");
    require(file != nullptr && fwrite(data, 1, size, file) == size && fclose(file) == 0);

    net_config loaded;
    if (net_load_config(path, &loaded) != 0) {
        return 0;
    }
    require(memchr(loaded.hostname, '\0', sizeof(loaded.hostname)) != nullptr);
    require(loaded.ns_count >= 0 && loaded.ns_count <= NET_MAX_NS);
    require(loaded.mode == NET_MODE_DHCP || loaded.mode == NET_MODE_STATIC);

    require(net_save_config(path, loaded) == 0);
    net_config again;
    require(net_load_config(path, &again) == 0);
    json_ptr before = transform_net_config(loaded);
    json_ptr after = transform_net_config(again);
    require(before && after && json_equal(before.get(), after.get()));
    return 0;
}
