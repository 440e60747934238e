// Arbitrary bytes as a reply of the mining daemon: the client's repair and parse, then the
// conversions of a "stats" and a "pools" reply. Besides not crashing, every record that
// comes out must hold what the reporters rely on when they turn it into JSON.
#include "fuzz_support.h"
#include "handles.h"
#include "miner/api.h"
#include "miner/collect.h"

#include <cmath>
#include <cstring>

namespace {

void check_metrics(const cv_metrics& m) {
    require(std::isfinite(m.hashrate) && std::isfinite(m.hashrate_avg) && std::isfinite(m.freq) &&
            std::isfinite(m.watt));
    require(m.chain_count == CV_MAX_CHAINS);
    for (int i = 0; i < CV_MAX_CHAINS; i++) {
        const cv_chain_stats& chain = m.chain_list[i];
        require((chain.id == 0 || chain.id == CHAIN_IDS[i]) && std::isfinite(chain.hash_rate) &&
                std::isfinite(chain.freq) && std::isfinite(chain.volt) &&
                std::isfinite(chain.watt));
    }
    require(m.fan_count <= CV_MAX_FANS);
    for (uint32_t i = 0; i < m.fan_count; i++) {
        const cv_fan_stats& fan = m.fan_list[i];
        require((fan.id == 1 || fan.id == 2) && fan.speed >= 0 && fan.speed <= 100);
    }
}

void check_pool(const cv_pool_stats& pool) {
    require(memchr(pool.diff, '\0', sizeof(pool.diff)) != nullptr &&
            pool.status >= POOL_NOT_CONFIGURED && pool.status <= POOL_DEAD);
}

void check_pools(const cv_pools_stats& p) {
    require(p.svc_fee_count <= CV_MAX_SVC_FEE_POOLS);
    check_pool(p.main);
    check_pool(p.reserved);
    check_pool(p.reserved2);
    for (uint32_t i = 0; i < p.svc_fee_count; i++) {
        check_pool(p.svc_fee_list[i]);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // As received: the client terminates the bytes, and a NUL inside them ends the text.
    std::string text(reinterpret_cast<const char*>(data), size);
    json_ptr reply = api_parse_reply(text.c_str());
    if (!reply) {
        return 0;
    }
    if (std::unique_ptr<cv_metrics> metrics = cgminer_metrics_from_reply(reply.get())) {
        check_metrics(*metrics);
    }
    if (std::unique_ptr<cv_pools_stats> pools = cgminer_pools_stats_from_reply(reply.get())) {
        check_pools(*pools);
    }
    return 0;
}
