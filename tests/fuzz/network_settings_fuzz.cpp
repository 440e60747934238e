// Arbitrary bytes as the network settings file. A file that loads must describe settings that
// survive being written back and read again unchanged, as the network command relies on.
#include "fuzz_support.h"
#include "miner/network.h"

#include <jansson.h>

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = scratch_dir() + "/network.conf";
    write_file(path, as_text(data, size));

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
