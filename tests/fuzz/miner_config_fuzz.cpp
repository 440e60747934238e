// Arbitrary bytes as the daemon's configuration file: loaded, stored over itself, loaded again.
// Whatever the agent can load it must be able to store, the store must read back as the same
// record, and storing that again must not change a byte (except where a bad fan member was reset).
#include "miner/config.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string dir; // this process's scratch directory, in memory where possible
std::string path;

void require(bool holds) {
    if (!holds) {
        abort();
    }
}

void remove_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

std::string read_file() {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::string pattern = (access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
    pattern += "/cvagent-fuzz-XXXXXX";
    require(mkdtemp(pattern.data()) != nullptr);
    dir = pattern;
    path = dir + "/cgminer.conf";
    atexit(remove_dir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    miner_config first{};
    if (miner_load_config(path, &first) != 0) {
        return 0;
    }
    require(miner_update_config(path, first) == 0);
    std::string stored = read_file();
    miner_config second{};
    require(miner_load_config(path, &second) == 0);
    // A bad fan member resets the fan group without a target temperature; the store then
    // leaves the file's own, which the second load reads, and the next store writes.
    bool fan_reset = first.bitmain_target_temp == 0;
    if (fan_reset) {
        first.bitmain_target_temp = second.bitmain_target_temp;
    }
    require(memcmp(&first, &second, sizeof(first)) == 0);
    require(miner_update_config(path, second) == 0);
    require(fan_reset || read_file() == stored);
    return 0;
}
