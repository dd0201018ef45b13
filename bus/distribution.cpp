#include "bus/distribution.hpp"

#include <vector>

#include "clients/client_table.hpp"
#include "core/gateway.hpp"

namespace quillon {

void distribute_to_clients(Gateway& gw) {
    if (gw.net_bound.empty()) return;
    std::vector<ConnectionHandle> overflowing;
    for (const QueueEntry& e : gw.net_bound) {
        if (status_code(e.status) >= 0) {
            for (const ClientRecord& c : gw.clients) {
                // Bus frames go to every bus client; an echo copy to all but its sender.
                if (!c.live() || c.is_analyzer() || c.handle == e.sender) continue;
                gw.network.send(c.handle, e.bytes.data(), e.bytes.size());
                if (gw.network.pending_output_bytes(c.handle) > max_client_backlog_bytes) {
                    overflowing.push_back(c.handle);
                }
            }
        }
        gw.clock.pause_ms(2);
    }
    gw.net_bound.clear();
    // Clients are dropped here, after the walk over the table.
    for (ConnectionHandle h : overflowing)
        drop_client(gw, h);
}

}  // namespace quillon
