// The commands that change the daemon's settings: each runs its section readers inside one
// change bracket, so the file is rewritten once, only when something changed, and never after
// a failure. "config" carries several sections and applies them in a fixed order.
#include "handlers.h"

#include "log.h"
#include "miner/l3plus/commands.h"
#include "miner/support.h"
#include "protocol.h"

namespace {

using section_reader = int (*)(json_t* payload);

struct section {
    const char* member;
    section_reader reader;
};

// The order in which "config" applies its sections.
const section config_sections[] = {
    {"pools", config_pools},   {"fans", config_fans},           {"perf", config_perf},
    {"chains", config_chains}, {"autotuner", config_autotuner}, {"watchdog", config_watchdog},
};

// One reader on the whole message inside the bracket: 0, or -1 at the first failing step
// (the bracket then stays open and nothing is written).
int in_bracket(json_t* message, section_reader reader, const char* label) {
    if (begin_miner_config() < 0 || reader(message) < 0 || end_miner_config(label) < 0) {
        return -1;
    }
    return 0;
}

// Applies each present member of `sections` in order; -1 at the first failure.
template <size_t N> int apply_sections(json_t* message, const section (&sections)[N]) {
    for (const section& s : sections) {
        json_t* payload = json_object_get(message, s.member);
        if (payload != nullptr && s.reader(payload) < 0) {
            return -1;
        }
    }
    return 0;
}

} // namespace

int begin_miner_config() {
    return cgminer_config_begin_changes();
}

int end_miner_config(const char*) {
    const int result = cgminer_config_end_changes();
    if (result == 1 && cgminer_running()) {
        LOG_INFO("Miner configuration changed, restarting the miner");
        cgminer_restart();
    }
    return result;
}

int agent_config_fans(json_t* message) {
    return in_bracket(message, config_fans, "cooling");
}

int agent_config_pools(json_t* message) {
    return in_bracket(message, config_pools, "pools");
}

int agent_config_chain(json_t* message) {
    return in_bracket(message, config_chain, "chain");
}

int agent_config_watchdog(json_t* message) {
    return in_bracket(message, config_watchdog, "watchdog");
}

int agent_config_autotuner(json_t* message) {
    return in_bracket(message, config_autotuner, "autotuner");
}

int agent_config_perf(json_t* message) {
    static const section perf_sections[] = {{"perf", config_perf}, {"autotuner", config_autotuner}};
    return in_bracket(
        message, [](json_t* m) { return apply_sections(m, perf_sections); }, "perf");
}

int agent_config_all(json_t* message, json_t* ok) {
    agent_conn_abort_cancel();
    if (json_is_false(ok)) {
        const char* text = json_string_value(json_object_get(message, "message"));
        LOG_ERROR("Request config failed - %s",
                  text != nullptr ? log_escape(text).c_str() : "(null)");
        return -1;
    }
    json_t* network = json_object_get(message, "network");
    // The new network settings take effect at the next network restart, not now.
    if (network != nullptr && config_network(network) < 0) {
        return -1;
    }
    return in_bracket(
        message, [](json_t* m) { return apply_sections(m, config_sections); }, "all");
}
