// Daemon configuration files kept under tests/unit/miner/data/.
#pragma once

#include "../test_root.h"

#include <string>

// The bytes of data/NAME.
std::string fixture(const std::string& name);

// Installs data/NAME as the daemon's configuration file of `root`.
void install_config(const test_root& root, const std::string& name);
