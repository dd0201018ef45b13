#include "clients/distribution.hpp"

namespace quillon {

std::vector<ConnectionHandle> distribute_next(NetBoundQueue& net_bound, const ClientTable& table,
                                              Network& network, std::int64_t now_us) {
    std::vector<ConnectionHandle> overflowing;
    const QueueEntry* e = net_bound.next_due(now_us);
    if (e == nullptr) return overflowing;
    if (forwardable(e->status)) {
        for (const ClientRecord& c : table.records()) {
            if (!c.live() || c.is_analyzer() || c.handle == e->sender) continue;
            if (network.send(c.handle, e->bytes.data(), e->bytes.size()) > max_client_backlog_bytes)
                overflowing.push_back(c.handle);
        }
    }
    net_bound.mark_sent(now_us);
    return overflowing;
}

}  // namespace quillon
