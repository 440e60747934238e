// The "chip_metrics" report: the 72 chips of one chain, answered with the request's id.
#include "handlers.h"

#include "log.h"
#include "miner/collect.h"
#include "miner/l3plus/config.h"
#include "util.h"

#include <cstdio>
#include <cstdlib>

const char* chip_state_name(cv_chip_state state) {
    switch (state) {
    case CHIP_STATE_FAST:
        return "fast";
    case CHIP_STATE_SLOW:
        return "slow";
    case CHIP_STATE_UNSTABLE:
        return "unstable";
    default:
        return "unknown";
    }
}

json_ptr serialize_chip_info(const cv_chip_info& chip) {
    char id[4];
    snprintf(id, sizeof(id), "%d", chip.chip_id);
    json_ptr object(json_pack("{s:s, s:f, s:i, s:s}", "id", id, "hr", chip.hash_rate / 1000.0,
                              "freq", chip.freq, "state", chip_state_name(chip.state)));
    if (object && chip.custom_freq) {
        json_object_set_new(object.get(), "custom_freq", json_true());
    }
    return object;
}

json_ptr serialize_chip_metrics(const cv_chip_metrics& metrics) {
    json_t* chips = json_array();
    for (const cv_chip_info& chip : metrics.chips) {
        if (json_ptr object = serialize_chip_info(chip)) {
            json_array_append_new(chips, object.release());
        }
    }
    char chain[3];
    snprintf(chain, sizeof(chain), "%d", metrics.chain_id);
    json_error_t error;
    json_ptr object(json_pack_ex(&error, 0, "{s:s, s:o}", "chain_id", chain, "chips", chips));
    if (!object) {
        LOG_ERROR("Failed to serialize chip metrics - %s", error.text);
    }
    return object;
}

int agent_report_chip_metrics(json_t* message) {
    const char* request_id = nullptr;
    const char* chain_text = nullptr;
    if (json_unpack(message, "{s:s, s:s}", "request_id", &request_id, "chain_id", &chain_text) !=
        0) {
        c_text text(json_dumps(message, JSON_INDENT(2)));
        LOG_ERROR("Failed to parse chip metrics request:\n%s",
                  text ? log_escape_lines(text.get()).c_str() : "");
        return -1;
    }
    const int32_t chain = leading_int(chain_text);
    if (!verify_chain_id(chain)) {
        LOG_ERROR("Invalid chain id: %d", chain);
        return -1;
    }
    std::unique_ptr<cv_chip_metrics> metrics = cgminer_chip_metrics(chain);
    if (!metrics) {
        return -1;
    }
    json_ptr reply = serialize_chip_metrics(*metrics);
    metrics.reset();
    if (!reply) {
        LOG_ERROR("Failed to serialize chip metrics");
        return -1;
    }
    json_object_set_new(reply.get(), "type", json_string("chip_metrics"));
    json_object_set_new(reply.get(), "request_id", json_string(request_id));
    json_object_set_new(reply.get(), "ok", json_true());
    return agent_enqueue_message(std::move(reply));
}
