// The firmware's identity, as the agent reports it to the server.
#pragma once

constexpr const char* firmware_name() {
    return "quarn-antminer-l3plus";
}

constexpr const char* firmware_version() {
    return "3.9.1";
}
