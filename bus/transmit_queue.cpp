#include "bus/transmit_queue.hpp"

#include <algorithm>

#include "bus/frame_processing.hpp"
#include "bus/serial_reception.hpp"
#include "core/gateway.hpp"

namespace quillon {
namespace {

// The interface module's words about its receive buffer and the bus.
constexpr std::uint8_t module_bus_off = 0x09;
constexpr std::uint8_t module_bus_active = 0x0A;
constexpr std::uint8_t module_buffer_full = 0x0B;
constexpr std::uint8_t module_buffer_ready = 0x0C;

void set_module_flow(Gateway& gw, ModuleFlow flow) {
    if (flow == ModuleFlow::accepting && gw.module_flow == ModuleFlow::accepting) return;
    gw.module_flow = flow;
    gw.module_flow_since_ms = gw.clock.now_ms();
    const std::string shown = flow == ModuleFlow::buffer_full ? "Velbus buffer full"
                              : flow == ModuleFlow::bus_off
                                  ? "Velbus bus off"
                                  : "Velbus serial " + gw.state.serial_port_name;
    gw.view.set_status_field(status_field::serial, shown);
}

}  // namespace

void note_module_frame(Gateway& gw, std::span<const std::uint8_t> frame) {
    // 0F F8 00 01 cmd checksum 04
    if (frame.size() != 7 || frame[1] != 0xF8 || frame[2] != 0x00 || frame[3] != 0x01) return;
    switch (frame[4]) {
        case module_buffer_full:
            set_module_flow(gw, ModuleFlow::buffer_full);
            break;
        case module_bus_off:
            set_module_flow(gw, ModuleFlow::bus_off);
            break;
        case module_buffer_ready:
        case module_bus_active:
            set_module_flow(gw, ModuleFlow::accepting);
            break;
        default:
            break;
    }
}

bool module_holds_writes(Gateway& gw, std::int64_t now_ms) {
    if (gw.module_flow == ModuleFlow::accepting) return false;
    if (now_ms - gw.module_flow_since_ms <= module_hold_limit_ms) return true;
    set_module_flow(gw, ModuleFlow::accepting);
    return false;
}

bool transmit_due(Gateway& gw, std::int64_t now_ms) {
    return now_ms - gw.state.last_bus_tx_ms > gw.state.pacing_delay_ms &&
           !module_holds_writes(gw, now_ms);
}

std::int64_t ms_until_transmit_due(const Gateway& gw, std::int64_t now_ms) {
    std::int64_t due = gw.state.last_bus_tx_ms + gw.state.pacing_delay_ms + 1;
    if (gw.module_flow != ModuleFlow::accepting)
        due = std::max(due, gw.module_flow_since_ms + module_hold_limit_ms + 1);
    return due > now_ms ? due - now_ms : 0;
}

void transmit_to_bus(Gateway& gw) {
    if (!gw.bus_bound.empty()) {
        QueueEntry entry = std::move(gw.bus_bound.front());
        gw.bus_bound.pop_front();
        // Bad frames reach the bus as the client sent them; echo copies never do.
        if (entry.status != FrameStatus::echo_copy) {
            bool sent = false;
            if (gw.serial_link == SerialLinkState::open) {
                sent = gw.serial.write(entry.bytes.data(), entry.bytes.size()) >= 0;
                if (!sent) serial_link_failed(gw);
            }
            if (sent) {
                gw.state.bus_tx_bytes =
                    static_cast<std::int32_t>(static_cast<std::uint32_t>(gw.state.bus_tx_bytes) +
                                              static_cast<std::uint32_t>(entry.length));
            } else {
                // Not kept for later: a command replayed minutes late could undo
                // what the user has done by hand since.
                show_unsent_frame(gw, entry);
            }
        }
        for (ClientRecord& c : gw.clients) {
            if (c.handle != entry.sender || entry.sender == 0) continue;
            --c.frames_waiting;
            if (c.reading_paused && c.frames_waiting <= max_frames_waiting_per_client) {
                c.reading_paused = false;
                c.held_since_ms = gw.clock.now_ms();  // its piece waits afresh for the rest
                if (c.live()) gw.network.set_reading_paused(c.handle, false);
            }
        }
    }
    gw.state.last_bus_tx_ms = gw.clock.now_ms();
}

}  // namespace quillon
