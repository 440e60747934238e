#include "miner/status.h"

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace {

std::mutex report_mutex;
std::condition_variable report_cond;
bool force_status_report = false; // guarded by report_mutex
std::atomic<bool> reporting_disabled = false;

} // namespace

int status_report_now() {
    std::lock_guard lock(report_mutex);
    force_status_report = true;
    report_cond.notify_one();
    return 0;
}

void status_disalbe_reporting() {
    reporting_disabled = true;
}

void status_enable_reporting() {
    reporting_disabled = false;
}
