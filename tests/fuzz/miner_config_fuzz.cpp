// Arbitrary bytes as the daemon's configuration file: loaded, stored over itself, loaded again.
// Whatever the agent can load it must be able to store, the store must read back as the same
// record, and storing that again must not change a byte (except where a bad fan member was reset).
#include "fuzz_support.h"
#include "miner/config.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = scratch_dir() + "/cgminer.conf";
    write_file(path, as_text(data, size));
    miner_config first{};
    if (miner_load_config(path, &first) != 0) {
        return 0;
    }
    require(miner_update_config(path, first) == 0);
    const std::string stored = read_file(path);
    miner_config second{};
    require(miner_load_config(path, &second) == 0);
    // A bad fan member resets the fan group without a target temperature; the store then
    // leaves the file's own, which the second load reads, and the next store writes.
    const bool fan_reset = first.bitmain_target_temp == 0;
    if (fan_reset) {
        first.bitmain_target_temp = second.bitmain_target_temp;
    }
    require(memcmp(&first, &second, sizeof(first)) == 0);
    require(miner_update_config(path, second) == 0);
    require(fan_reset || read_file(path) == stored);
    return 0;
}
