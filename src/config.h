// The agent's own configuration file: the operator's API key and the device id.
#pragma once

#include <jansson.h>

#include <string>

struct agent_config {
    char api_key[51];
    char dev_id[33];
    // The file had no "dev_id": one was generated and the file must be written back.
    bool fresh_install;
};

// Reads the file; generates a device id when it has none. Returns 0 or -1 (logged).
int agent_load_config(const std::string& path, agent_config* config);
int parse_config(json_t* root, agent_config* config);

// Writes {"api_key", "dev_id"} so that a power cut leaves the old file or the new one.
int agent_save_config(const std::string& path, const agent_config& config);

// Device id from the interface's MAC address, or a random one when it cannot be read.
void gen_device_id(char (&dev_id)[33]);
void gen_pseudo_device_id(char (&dev_id)[33]);
