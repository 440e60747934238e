// Commands whose handlers this version of the agent does not have yet. They are recognised
// and answered as a failed command of their own type would be, never as a success.
#include "handlers.h"

#include "log.h"

namespace {

int not_built(const char* type) {
    LOG_WARN("Command \"%s\" is not supported by this agent version", type);
    return -1;
}

} // namespace

int agent_config_all(json_t*, json_t*) {
    return not_built("config");
}
int agent_config_pools(json_t*) {
    return not_built("config_pools");
}
int agent_config_web_access(json_t*) {
    return not_built("config_web_access");
}
int agent_config_fans(json_t*) {
    return not_built("config_fans");
}
int agent_config_watchdog(json_t*) {
    return not_built("config_watchdog");
}
int agent_config_perf(json_t*) {
    return not_built("config_perf");
}
int agent_config_autotuner(json_t*) {
    return not_built("config_autotuner");
}
int agent_config_chain(json_t*) {
    return not_built("config_chain");
}
int agent_report_chip_metrics(json_t*) {
    return not_built("chip_metrics");
}
