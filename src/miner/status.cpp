#include "miner/status.h"

#include "agent.h"
#include "log.h"
#include "miner/collect.h"
#include "miner/firmware.h"
#include "miner/metrics.h"
#include "miner/network.h"
#include "miner/support.h"
#include "platform.h"
#include "protocol.h"
#include "util.h"
#include "worker.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <utility>

namespace {

constexpr int CYCLE_SECS = 5;
constexpr int REPORT_AFTER_SECS = 30;

// Its lock and condition variable pace the cycles and carry status_report_now's wake-up.
worker status_thread;
std::atomic<bool> reporting_disabled = false;
bool force_status_report = false; // guarded by status_thread.lock

// The reporting thread's own; status_stop_reporting touches them after the thread ended.
std::unique_ptr<cv_metrics> miner_metrics;
std::unique_ptr<cv_pools_stats> pools_stats;
miner_states prev_state = MINER_STATE_INITIALIZING;

// The state a snapshot stands for: autotuning, while it runs, whatever the daemon says.
miner_states snapshot_state(const cv_metrics& metrics) {
    return cgminer_autotune_in_progress() ? MINER_STATE_AUTO_TUNING : metrics.state;
}

json_t* build_state() {
    miner_states state = MINER_STATE_RESTARTING;
    if (miner_metrics) {
        state = snapshot_state(*miner_metrics);
    } else if (miner_is_stopped()) {
        state = MINER_STATE_STOPPED;
    } else if (cgminer_running()) {
        state = MINER_STATE_INITIALIZING;
    }
    return json_pack("{s:s}", "name", translate_miner_state(state));
}

json_t* build_network_info() {
    netinfo info{};
    if (net_get_info(platform_iface().c_str(), &info) != 0) {
        return nullptr;
    }
    char text[4][18];
    json_t* dnsservers = json_array();
    for (int32_t i = 0; i < info.ns_count && i < NET_MAX_NS; i++) {
        char address[16];
        json_array_append_new(dnsservers, json_string(inet_to_str(info.ns[i], address)));
    }
    return json_pack("{s:s, s:s, s:s, s:o, s:s}", "ip", inet_to_str(info.ip, text[0]), "netmask",
                     inet_to_str(info.netmask, text[1]), "gateway",
                     inet_to_str(info.gateway, text[2]), "dnsservers", dnsservers, "mac",
                     ether_to_str(info.mac, text[3]));
}

json_t* build_pool_stats(const cv_pool_stats& pool) {
    if (pool.status == POOL_NOT_CONFIGURED) {
        return nullptr;
    }
    return json_pack("{s:b, s:s, s:I, s:I, s:I, s:s}", "boost", pool.asicboost, "difficulty",
                     pool.diff, "accepted", static_cast<json_int_t>(pool.accepted), "rejected",
                     static_cast<json_int_t>(pool.rejected), "stale",
                     static_cast<json_int_t>(pool.stale), "status",
                     translate_pool_status(pool.status));
}

json_t* build_pools_stats() {
    if (!pools_stats) {
        return nullptr;
    }
    json_t* service_fee = json_array();
    for (uint32_t i = 0; i < pools_stats->svc_fee_count && i < CV_MAX_SVC_FEE_POOLS; i++) {
        if (json_t* pool = build_pool_stats(pools_stats->svc_fee_list[i])) {
            json_array_append_new(service_fee, pool);
        }
    }
    return json_pack("{s:o*, s:o*, s:o*, s:o}", "main", build_pool_stats(pools_stats->main),
                     "reserved", build_pool_stats(pools_stats->reserved), "reserved2",
                     build_pool_stats(pools_stats->reserved2), "service_fee", service_fee);
}

int get_miner_uptime() {
    return miner_metrics ? miner_metrics->uptime : 0;
}

// Refreshes the picture; true when the state changed since the last report.
bool update_miner_status() {
    miner_metrics = cgminer_metrics();
    pools_stats = cgminer_pools_stats();
    if (miner_metrics) {
        return miner_metrics->state != prev_state;
    }
    return prev_state != MINER_STATE_RESTARTING;
}

int status_report() {
    if (reporting_disabled) {
        return 0;
    }
    if (!agent_is_authenticated()) {
        return -1;
    }
    json_error_t error;
    json_ptr message(json_pack_ex(
        &error, 0, "{s:s, s:s, s:s, s:i, s:o*, s:o, s:o*}", "type", "status", "firmware_id",
        firmware_name(), "firmware_ver", firmware_version(), "uptime", get_miner_uptime(), "state",
        build_state(), "network", build_network_info(), "pools", build_pools_stats()));
    if (!message) {
        LOG_ERROR("%s", error.text);
        LOG_ERROR("Failed to build status msg");
        return -1;
    }
    if (miner_metrics) {
        // The first hash rates reach the server without waiting for the metrics thread.
        if (prev_state == MINER_STATE_INITIALIZING && miner_metrics->state == MINER_STATE_MINING) {
            if (std::unique_ptr<cv_metrics> snapshot = cgminer_metrics()) {
                metrics_send(*snapshot);
            }
        }
        prev_state = snapshot_state(*miner_metrics);
    } else if (cgminer_running()) {
        prev_state = MINER_STATE_INITIALIZING;
    } else if (miner_is_stopped()) {
        prev_state = MINER_STATE_STOPPED;
    } else {
        prev_state = MINER_STATE_RESTARTING;
    }
    return agent_enqueue_message(std::move(message));
}

void status_thread_func() {
    set_thread_name("status@agent");
    int secs_since_report = 0;
    for (;;) {
        bool due = update_miner_status();
        bool forced = false;
        {
            std::lock_guard held(status_thread.lock);
            forced = std::exchange(force_status_report, false);
        }
        if (due || forced || secs_since_report >= REPORT_AFTER_SECS) {
            status_report();
            secs_since_report = 0;
        }
        std::unique_lock held(status_thread.lock);
        // A wake-up by status_report_now counts as a whole cycle, as a time-out does.
        secs_since_report += CYCLE_SECS;
        if (!worker_pause(status_thread, held, std::chrono::seconds(CYCLE_SECS),
                          [] { return force_status_report; })) {
            return;
        }
    }
}

} // namespace

const char* translate_miner_state(miner_states state) {
    switch (state) {
    case MINER_STATE_INITIALIZING:
        return "initializing";
    case MINER_STATE_MINING:
        return "mining";
    case MINER_STATE_AUTO_TUNING:
        return "autotuning";
    case MINER_STATE_SHUTTING_DOWN:
    case MINER_STATE_RESTARTING:
        return "restarting";
    case MINER_STATE_STOPPED:
        return "pause";
    case MINER_STATE_FAILURE:
        return "error";
    default:
        return "unknown";
    }
}

const char* translate_pool_status(cv_pool_status status) {
    switch (status) {
    case POOL_ACTIVE:
        return "active";
    case POOL_ALIVE:
        return "alive";
    case POOL_DEAD:
        return "dead";
    default:
        return "unknown";
    }
}

int status_start_reporting() {
    if (int code = worker_start(status_thread, status_thread_func); code != 0) {
        LOG_ERROR("Failed to create status reporting thread, code: %d", code);
        abort();
    }
    return 0;
}

int status_stop_reporting() {
    worker_stop(status_thread);
    miner_metrics.reset();
    pools_stats.reset();
    return 0;
}

int status_report_now() {
    std::lock_guard held(status_thread.lock);
    force_status_report = true;
    status_thread.wake.notify_one();
    return 0;
}

void status_disalbe_reporting() {
    reporting_disabled = true;
}

void status_enable_reporting() {
    reporting_disabled = false;
}
