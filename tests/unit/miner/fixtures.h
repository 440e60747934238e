// Daemon configuration files kept under tests/unit/miner/data/.
#pragma once

#include "../test_root.h"
#include "miner/config.h"

#include <string>

// The bytes of data/NAME.
std::string fixture(const std::string& name);

// Installs data/NAME as the daemon's configuration file of `root`.
void install_config(const test_root& root, const std::string& name);

// Every model field of `config` in one line, chips as "chain.chip=freq" for those set.
std::string describe_settings(const miner_config& config);
