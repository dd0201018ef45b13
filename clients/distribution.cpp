#include "clients/distribution.hpp"

#include <algorithm>

namespace quillon {

std::vector<ConnectionHandle> distribute_due(NetBoundQueue& net_bound, const ClientTable& table,
                                             Network& network, std::int64_t now_us) {
    std::vector<ConnectionHandle> overflowing;
    const auto dropped = [&overflowing](ConnectionHandle h) {
        return std::find(overflowing.begin(), overflowing.end(), h) != overflowing.end();
    };
    for (const QueueEntry* e = net_bound.next_due(now_us); e != nullptr;
         e = net_bound.next_due(now_us)) {
        if (forwardable(e->status)) {
            for (const ClientRecord& c : table.records()) {
                if (!c.live() || c.is_analyzer() || c.handle == e->sender || dropped(c.handle))
                    continue;
                if (network.send(c.handle, e->bytes.data(), e->bytes.size()) >
                    max_client_backlog_bytes)
                    overflowing.push_back(c.handle);
            }
        }
        net_bound.pop_sent(now_us);
    }
    return overflowing;
}

}  // namespace quillon
