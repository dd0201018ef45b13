#include "bus/transmit_queue.hpp"

#include "bus/serial_reception.hpp"
#include "core/gateway.hpp"

namespace quillon {

bool transmit_due(const Gateway& gw, std::int64_t now_ms) {
    return now_ms - gw.state.last_bus_tx_ms > gw.state.pacing_delay_ms;
}

std::int64_t ms_until_transmit_due(const Gateway& gw, std::int64_t now_ms) {
    const std::int64_t due = gw.state.last_bus_tx_ms + gw.state.pacing_delay_ms + 1;
    return due > now_ms ? due - now_ms : 0;
}

void transmit_to_bus(Gateway& gw) {
    if (!gw.bus_bound.empty()) {
        QueueEntry entry = std::move(gw.bus_bound.front());
        gw.bus_bound.pop_front();
        // Bad frames reach the bus as the client sent them; echo copies never do.
        if (entry.status != FrameStatus::echo_copy) {
            if (gw.serial_link == SerialLinkState::open &&
                gw.serial.write(entry.bytes.data(), entry.bytes.size()) < 0) {
                serial_link_failed(gw);
            }
            gw.state.bus_tx_bytes =
                static_cast<std::int32_t>(static_cast<std::uint32_t>(gw.state.bus_tx_bytes) +
                                          static_cast<std::uint32_t>(entry.length));
        }
        for (ClientRecord& c : gw.clients) {
            if (c.handle != entry.sender || entry.sender == 0) continue;
            --c.frames_waiting;
            if (c.reading_paused && c.frames_waiting <= max_frames_waiting_per_client) {
                c.reading_paused = false;
                if (c.live()) gw.network.set_reading_paused(c.handle, false);
            }
        }
    }
    gw.state.last_bus_tx_ms = gw.clock.now_ms();
}

}  // namespace quillon
