// A temporary sandbox root for one test: the platform points into it and the log goes to a
// file inside it, so tests can read what was logged.
#pragma once

#include "handles.h"

#include <string>

struct test_root {
    std::string dir;

    test_root();
    ~test_root();
    test_root(const test_root&) = delete;
    test_root& operator=(const test_root&) = delete;

    // Where the fixed absolute path `abs` lives in this root.
    std::string path(const std::string& abs) const;
    // Writes a file under the root, creating its directories.
    void write(const std::string& abs, const std::string& content) const;
    std::string read(const std::string& abs) const;
    bool exists(const std::string& abs) const;
    // Everything logged since the root was made, one "LEVEL message" per line.
    std::string log() const;
};

// The bytes of miner/data/NAME, data of the daemon kept beside its tests.
std::string fixture(const std::string& name);
// Installs miner/data/NAME as the daemon's configuration file of `root`.
void install_config(const test_root& root, const std::string& name);

// Parses JSON written in a test; a typo there throws rather than passing a null message on.
json_ptr parse_json(const std::string& text);
