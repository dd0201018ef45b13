#include "bus/serial_reception.hpp"

#include <algorithm>
#include <cstring>
#include <span>

#include "analyzer/message_decoder.hpp"
#include "bus/bus_frame.hpp"
#include "bus/frame_processing.hpp"
#include "bus/transmit_queue.hpp"
#include "core/gateway.hpp"

namespace quillon {
namespace {

constexpr std::int64_t serial_retry_interval_ms = 2000;
constexpr Rgb lost_link_colour{200, 50, 50};
constexpr Rgb link_back_colour{20, 150, 20};

void append_bus_entry(Gateway& gw, const std::uint8_t* bytes, std::size_t size,
                      FrameStatus status) {
    // Positions the bytes do not reach read as 0.
    const std::uint8_t address = size > 2 ? bytes[2] : 0;
    QueueEntry entry;
    entry.origin =
        "$" + hex_byte(address) + " " + decode_message("VMB", bytes, size) + " from VelBUS";
    entry.time = frame_time_text(gw);
    entry.length = static_cast<std::int32_t>(size);
    entry.bytes.assign(bytes, bytes + size);
    entry.status = status;
    if (status == FrameStatus::valid) note_module_frame(gw, entry.bytes);
    gw.net_bound.push_back(std::move(entry));
}

// Scans bytes[0..count) for candidates and queues them. An incomplete candidate
// at the end is held for the next read, unless `flush` says its time is up: then
// it is queued as a bad-length piece of the bytes that did come. The first
// `carried` bytes are a start held from an earlier read.
void scan_bus_bytes(Gateway& gw, const std::uint8_t* bytes, std::size_t count, bool flush,
                    std::size_t carried) {
    std::size_t i = 0;
    while (i < count) {
        if (bytes[i] != BusFrame::start_byte) {
            ++i;
            continue;
        }
        const CandidateVerdict verdict = judge_candidate(std::span(bytes + i, count - i));
        if (!verdict.complete) {
            if (!flush) {
                gw.serial_held.assign(bytes + i, bytes + count);
                // A start still waiting keeps the time it first came.
                if (i != 0 || carried == 0) gw.serial_held_since_ms = gw.clock.now_ms();
                return;
            }
            append_bus_entry(gw, bytes + i, count - i, FrameStatus::bad_length);
            ++i;
            continue;
        }
        append_bus_entry(gw, bytes + i, verdict.size, verdict.status);
        // A rejected start may hide a real one inside it; an accepted frame's
        // bytes are never taken for a start byte.
        i += verdict.status == FrameStatus::bad_length ? 1 : verdict.size;
    }
}

}  // namespace

std::string frame_time_text(Gateway& gw) {
    const std::int64_t hundredths = (gw.clock.now_ms() - gw.state.second_start_ms) / 10;
    std::string h = std::to_string(hundredths);
    if (h.size() < 2) h.insert(0, 2 - h.size(), '0');
    if (h.size() > 2) h.resize(2);
    return format_date(time_of_day_pattern, gw.clock.local_date()) + "." + h;
}

std::int32_t receive_from_bus(Gateway& gw) {
    const std::size_t q0 = gw.net_bound.size();
    const std::int64_t now = gw.clock.now_ms();

    bool read_something = false;
    if (gw.serial_link == SerialLinkState::open) {
        const std::int64_t waiting = gw.serial.bytes_waiting();
        if (waiting < 0) {
            serial_link_failed(gw);
        } else if (waiting > 0) {
            // The held start of a frame goes first; what does not fit waits for the next pass.
            const std::size_t held = gw.serial_held.size();
            const std::size_t room = gw.serial_buffer.size() - held;
            const std::size_t ask = std::min(static_cast<std::size_t>(waiting), room);
            gw.state.bus_rx_bytes =
                static_cast<std::int32_t>(static_cast<std::uint32_t>(gw.state.bus_rx_bytes) +
                                          static_cast<std::uint32_t>(ask));
            std::copy(gw.serial_held.begin(), gw.serial_held.end(), gw.serial_buffer.begin());
            const std::int64_t got = gw.serial.read(gw.serial_buffer.data() + held, ask);
            if (got < 0) {
                serial_link_failed(gw);
            } else if (got > 0) {
                read_something = true;
                gw.state.last_bus_rx_ms = now;
                gw.state.bus_timeout_reported = false;
                gw.serial_held.clear();
                scan_bus_bytes(gw, gw.serial_buffer.data(), held + static_cast<std::size_t>(got),
                               false, held);
            }
        }
    }

    // A held start gives up only when the port has nothing more for it: a busy
    // loop may come back late, and its rest may be waiting already.
    if (!read_something && !gw.serial_held.empty() &&
        now - gw.serial_held_since_ms > serial_hold_limit_ms) {
        const std::vector<std::uint8_t> stale = std::move(gw.serial_held);
        gw.serial_held.clear();
        scan_bus_bytes(gw, stale.data(), stale.size(), true, 0);
    }
    return static_cast<std::int32_t>(gw.net_bound.size() - q0);
}

bool open_serial_link(Gateway& gw) {
    const GatewayState& s = gw.state;
    SerialLineSettings settings;
    settings.name = s.serial_port_name;
    settings.baud = s.serial_baud;
    settings.parity = s.serial_parity;
    settings.data_bits = s.serial_data_bits;
    settings.stop_bits = s.serial_stop_bits;
    settings.handshake = s.serial_handshake;
    if (!gw.serial.open(settings)) return false;
    if (s.module_type == "RS") {
        gw.serial.set_rts(true);
        gw.serial.set_dtr(false);
    }
    gw.serial_link = SerialLinkState::open;
    return true;
}

void serial_link_failed(Gateway& gw) {
    gw.serial.close();
    gw.serial_link = SerialLinkState::lost;
    gw.serial_retry_ms = gw.clock.now_ms();
    gw.serial_held.clear();
    show_notice_row(
        gw, "- serial -",
        "Serial port " + gw.state.serial_port_name + " lost, trying again every 2 seconds",
        lost_link_colour, true);
}

void retry_serial_link(Gateway& gw, std::int64_t now_ms) {
    if (gw.serial_link != SerialLinkState::lost) return;
    if (now_ms - gw.serial_retry_ms <= serial_retry_interval_ms) return;
    gw.serial_retry_ms = now_ms;
    if (open_serial_link(gw)) {
        show_notice_row(gw, "- serial -",
                        "Serial port " + gw.state.serial_port_name + " open again",
                        link_back_colour, false);
    }
}

}  // namespace quillon
