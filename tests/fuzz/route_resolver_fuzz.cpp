// Arbitrary bytes as the kernel's route table and as the resolver file: whatever they hold,
// the gateway found is a real one and the name servers stay within their array.
#include "fuzz_support.h"
#include "miner/network.h"
#include "platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string& root = [] {
        platform_configure(scratch_dir(), "lo", 4028);
        return scratch_dir();
    }();
    write_file(root + "/proc/net/route", as_text(data, size));
    write_file(root + "/etc/resolv.conf", as_text(data, size));

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
