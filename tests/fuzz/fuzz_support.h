// What the fuzz targets share: a broken invariant aborts, so libFuzzer keeps the input, and
// files go to a scratch directory of this process, removed at exit.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

inline void require(bool holds, const char* what = "invariant broken") {
    if (!holds) {
        fprintf(stderr, "fuzz: %s\n", what);
        abort();
    }
}

// In memory where possible. Never destroyed: the exit handler still needs it.
inline const std::string& scratch_dir() {
    static const std::string* dir = [] {
        std::string pattern = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        pattern += "/cvagent-fuzz-XXXXXX";
        require(mkdtemp(pattern.data()) != nullptr, "mkdtemp failed");
        atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(scratch_dir(), ignored);
        });
        return new std::string(pattern);
    }();
    return *dir;
}

inline std::string_view as_text(const uint8_t* data, size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// Writes `content` to `path`, making its directories first.
inline void write_file(const std::string& path, std::string_view content, bool executable = false) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    FILE* file = fopen(path.c_str(), "wb");
    require(file != nullptr && fwrite(content.data(), 1, content.size(), file) == content.size() &&
                fclose(file) == 0,
            "cannot write a scratch file");
    require(!executable || chmod(path.c_str(), 0755) == 0, "chmod failed");
}

inline std::string read_file(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
}
