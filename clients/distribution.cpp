#include "clients/distribution.hpp"

#include <algorithm>

namespace quillon {

std::vector<ConnectionHandle> distribute_to_clients(FrameQueue& net_bound,
                                                    const ClientTable& table, Network& network,
                                                    Clock& clock) {
    std::vector<ConnectionHandle> overflowing;
    for (const QueueEntry& e : net_bound) {
        if (forwardable(e.status)) {
            for (const ClientRecord& c : table.records()) {
                if (!c.live() || c.is_analyzer() || c.handle == e.sender) continue;
                network.send(c.handle, e.bytes.data(), e.bytes.size());
                if (network.pending_output_bytes(c.handle) > max_client_backlog_bytes &&
                    std::find(overflowing.begin(), overflowing.end(), c.handle) ==
                        overflowing.end()) {
                    overflowing.push_back(c.handle);
                }
            }
        }
        clock.pause_ms(distribution_pause_ms);
    }
    net_bound.clear();
    return overflowing;
}

}  // namespace quillon
