#include "clients/client_intake.hpp"

#include <algorithm>
#include <span>

#include "bus/frame_processing.hpp"
#include "bus/serial_reception.hpp"
#include "bus/transmit_queue.hpp"
#include "clients/client_table.hpp"
#include "core/gateway.hpp"

namespace quillon {
namespace {

ClientRecord* live_tcp_record(Gateway& gw, ConnectionHandle handle) {
    for (ClientRecord& c : gw.clients) {
        if (c.handle == handle && c.live() && !c.is_analyzer()) return &c;
    }
    return nullptr;
}

// The bad-length entry for a run of a client's bytes; no echo copy is made.
QueueEntry bad_length_piece(const std::string& port, ConnectionHandle sender,
                            const std::uint8_t* bytes, std::size_t count) {
    QueueEntry piece;
    piece.origin = port + " ";
    piece.length = static_cast<std::int32_t>(count);
    piece.bytes.assign(bytes, bytes + count);
    piece.status = FrameStatus::bad_length;
    piece.sender = sender;
    return piece;
}

// Reading pauses while the client has too many frames waiting for the bus.
void count_waiting(Gateway& gw, ClientRecord& record, std::int32_t added) {
    record.frames_waiting += added;
    if (!record.reading_paused && record.frames_waiting > max_frames_waiting_per_client) {
        record.reading_paused = true;
        gw.network.set_reading_paused(record.handle, true);
    }
}

}  // namespace

std::int32_t client_intake(Gateway& gw, ConnectionHandle handle) {
    ClientRecord* record = live_tcp_record(gw, handle);
    std::uint8_t* const b = gw.network_buffer.data();

    // The start of a frame held from the previous read goes first.
    std::size_t held = 0;
    if (record != nullptr) {
        held = record->held_bytes.size();
        std::copy(record->held_bytes.begin(), record->held_bytes.end(), b);
    }
    const std::int64_t got = gw.network.receive(handle, b + held, gw.network_buffer.size() - held);
    if (got <= 0) return 0;
    if (record != nullptr) record->held_bytes.clear();
    const std::size_t n = held + static_cast<std::size_t>(got);

    const std::string port =
        std::to_string(record != nullptr ? record->port : gw.network.peer_port(handle));
    const std::size_t q0 = gw.bus_bound.size();
    std::int32_t bad_pieces = 0;

    std::size_t i = 0;
    while (i < n) {
        if (b[i] != BusFrame::start_byte) {
            ++i;
            continue;
        }
        const CandidateVerdict verdict = judge_candidate(std::span(b + i, n - i));
        if (!verdict.complete && record != nullptr) {
            record->held_bytes.assign(b + i, b + n);
            record->held_since_ms = gw.clock.now_ms();
            break;
        }
        if (verdict.complete && verdict.status != FrameStatus::bad_length) {
            QueueEntry entry;
            entry.origin = verdict.status == FrameStatus::bad_checksum ? port + "#" : port;
            entry.time = frame_time_text(gw);
            entry.length = static_cast<std::int32_t>(verdict.size);
            entry.bytes.assign(b + i, b + i + verdict.size);
            entry.status = verdict.status;
            entry.sender = handle;
            if (verdict.status == FrameStatus::bad_checksum) ++bad_pieces;
            QueueEntry echo = entry;
            echo.status = FrameStatus::echo_copy;
            gw.bus_bound.push_back(std::move(entry));
            gw.net_bound.push_back(std::move(echo));
            i += verdict.size;
            continue;
        }
        // Bad length: the run up to the next start byte, which begins the next candidate.
        std::size_t j = i + 1;
        while (j < n && b[j] != BusFrame::start_byte)
            ++j;
        gw.bus_bound.push_back(bad_length_piece(port, handle, b + i, j - i));
        ++bad_pieces;
        i = j;
    }

    const auto added = static_cast<std::int32_t>(gw.bus_bound.size() - q0);
    if (record != nullptr) {
        record->error_count += bad_pieces;
        if (bad_pieces > 0) refresh_client_rows(gw);
        count_waiting(gw, *record, added);
    }
    return added;
}

void give_up_held_piece(Gateway& gw, ClientRecord& record) {
    if (record.held_bytes.empty()) return;
    const auto at = static_cast<std::int32_t>(gw.bus_bound.size());
    gw.bus_bound.push_back(bad_length_piece(std::to_string(record.port), record.handle,
                                            record.held_bytes.data(), record.held_bytes.size()));
    record.held_bytes.clear();
    ++record.error_count;
    count_waiting(gw, record, 1);
    // Given up outside the pass's intake, so its row is shown here.
    process_new_frames(gw, at, 1, 0, 0);
    refresh_client_rows(gw);
}

void give_up_stale_pieces(Gateway& gw, std::int64_t now_ms) {
    for (ClientRecord& c : gw.clients) {
        // A paused client is not read, so its piece's rest may well be waiting.
        if (!c.held_bytes.empty() && c.live() && !c.reading_paused &&
            now_ms - c.held_since_ms > client_hold_limit_ms)
            give_up_held_piece(gw, c);
    }
}

}  // namespace quillon
