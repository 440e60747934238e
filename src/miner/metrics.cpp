#include "miner/metrics.h"

#include "log.h"
#include "protocol.h"
#include "util.h"
#include "worker.h"

#include <chrono>
#include <cstdio>

namespace {

constexpr auto METRICS_PERIOD = std::chrono::seconds(10);

worker metrics_thread;

json_t* fan_json(const cv_fan_stats& fan) {
    char id[10];
    snprintf(id, sizeof(id), "%d", fan.id);
    return json_pack("{s:s, s:i, s:i}", "id", id, "speed", fan.speed, "rpm", fan.rpm);
}

json_t* chain_json(const cv_chain_stats& chain) {
    char id[10];
    snprintf(id, sizeof(id), "%d", chain.id);
    return json_pack("{s:s, s:i, s:f, s:f, s:f, s:f, s:i, s:i, s:i}", "id", id, "num_chips",
                     chain.num_chips, "hash_rate", chain.hash_rate, "freq", chain.freq, "volt",
                     chain.volt, "watt", chain.watt, "hw_errors", chain.hw_errors, "chip_temp",
                     chain.chip_temp, "pcb_temp", chain.pcb_temp);
}

void metrics_thread_func() {
    set_thread_name("metrics@agent");
    for (;;) {
        if (std::unique_ptr<cv_metrics> snapshot = cgminer_metrics()) {
            metrics_send(*snapshot);
        }
        std::unique_lock held(metrics_thread.lock);
        if (!worker_pause(metrics_thread, held, METRICS_PERIOD, [] { return false; })) {
            return;
        }
    }
}

} // namespace

json_ptr build_metrics_message(const cv_metrics& metrics) {
    json_t* fans = json_array();
    for (uint32_t i = 0; i < metrics.fan_count && i < CV_MAX_FANS; i++) {
        json_array_append_new(fans, fan_json(metrics.fan_list[i]));
    }
    json_t* chains = json_array();
    for (uint32_t i = 0; i < metrics.chain_count && i < CV_MAX_CHAINS; i++) {
        json_array_append_new(chains, chain_json(metrics.chain_list[i]));
    }
    json_error_t error;
    json_ptr message(json_pack_ex(
        &error, 0, "{s:s, s:I, s:f, s:f, s:f, s:i, s:f, s:i, s:o, s:o}", "type", "metrics",
        "timestamp", static_cast<json_int_t>(metrics.timestamp), "hash_rate", metrics.hashrate,
        "hashrate_avg", metrics.hashrate_avg, "freq", metrics.freq, "temp", metrics.temp, "watt",
        metrics.watt, "hw_errors", metrics.hw_errors, "fans", fans, "chains", chains));
    if (!message) {
        LOG_ERROR("%s", error.text);
        LOG_ERROR("Failed to build metrics message");
    }
    return message;
}

int metrics_send(const cv_metrics& metrics) {
    json_ptr message = build_metrics_message(metrics);
    return message ? agent_enqueue_message(std::move(message)) : -1;
}

int metrics_start() {
    if (int code = worker_start(metrics_thread, metrics_thread_func); code != 0) {
        LOG_ERROR("Failed to create metrics thread, code=%d", code);
        abort();
    }
    return 0;
}

int metrics_stop() {
    worker_stop(metrics_thread);
    return 0;
}
