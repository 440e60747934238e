// Arbitrary bytes as the kernel's route table and as the resolver file: whatever they hold,
// the gateway found is a real one and the name servers stay within their array.
#include "miner/network.h"
#include "platform.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace {

void require(bool holds) {
    if (!holds) {
        abort();
    }
}

void write_file(const std::string& path, const uint8_t* data, size_t size) {
    FILE* file = fopen(path.c_str(), "wb");
    require(file != nullptr && fwrite(data, 1, size, file) == size && fclose(file) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string root = [] {
        char pattern[] = "/tmp/cvagent-fuzz-XXXXXX";
        require(mkdtemp(pattern) != nullptr);
        std::string dir = pattern;
        require(mkdir((dir + "/proc").c_str(), 0700) == 0 &&
                mkdir((dir + "/proc/net").c_str(), 0700) == 0 &&
                mkdir((dir + "/etc").c_str(), 0700) == 0);
        platform_configure(dir, "lo", 4028);
        return dir;
    }();
    write_file(root + "/proc/net/route", data, size);
    write_file(root + "/etc/resolv.conf", data, size);

    uint32_t gateway = 1;
    int found = get_default_gateway(&gateway);
    require((found == 0) == (gateway != 0));

    uint32_t ns[NET_MAX_NS + 1];
    ns[NET_MAX_NS] = 0x5a5a5a5a; // a guard past the array
    int32_t count = -1;
    require(get_ns_servers(ns, &count) == 0);
    require(count >= 0 && count <= NET_MAX_NS && ns[NET_MAX_NS] == 0x5a5a5a5a);
    return 0;
}
