// The firmware's identity, as the agent reports it to the server, and the steps of a
// firmware update. The update is not offered to the server: nothing calls the steps yet.
#pragma once

#include <string>

constexpr const char* firmware_name() {
    return "quarn-antminer-l3plus";
}

constexpr const char* firmware_version() {
    return "3.9.1";
}

// Fetches `url` over HTTPS into `package` (an HTTP error status is a failure, not a
// package). 0, or -1 (logged; a partial file stays).
int download_update(const char* url, const char* package);
// Unpacks the gzip tar `package` into `dir` and deletes the package only when that worked.
int extract_update(const char* package, const char* dir);
// Runs the package's update.sh inside `dir`, its output in the firmware update log.
int apply_update(const char* dir);
int remove_update(const char* dir);
// Not offered on this model: does nothing.
void firmware_update(const char* url);
