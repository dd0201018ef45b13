#include "clients/client_intake.hpp"

#include <span>

namespace quillon {
namespace {

// Queues one cut for the bus (and its echo copy), a copy of it in `queued`;
// true when it is a bad one.
bool queue_cut(const Cut& cut, ConnectionHandle sender, std::uint16_t port, FrameTime stamp,
               BusQueue& bus_bound, NetBoundQueue& net_bound, std::vector<QueueEntry>& queued) {
    QueueEntry entry{{cut.bytes.begin(), cut.bytes.end()}, cut.status, stamp, sender, port};
    // A frame whose end byte is in place is echoed, a bad checksum included.
    if (cut.status != FrameStatus::bad_length) {
        QueueEntry echo = entry;
        echo.status = FrameStatus::echo_copy;
        net_bound.push(std::move(echo));
    }
    queued.push_back(entry);
    bus_bound.push(std::move(entry));
    return cut.status != FrameStatus::valid;
}

void count_queued(ClientTable& table, Network& network, ClientRecord& record, std::size_t n) {
    for (std::size_t k = 0; k < n; ++k) {
        if (table.frame_queued(record.handle)) network.set_reading_paused(record.handle, true);
    }
}

}  // namespace

Intake client_intake(ClientTable& table, Network& network, ConnectionHandle handle,
                     std::int64_t now_ms, FrameTime stamp, BusQueue& bus_bound,
                     NetBoundQueue& net_bound) {
    Intake result;
    ClientRecord* record = table.live(handle, ClientKind::bus_client);
    auto& buffer = table.receive_buffer();
    // A held start and this read together fit the buffer.
    const std::size_t room = buffer.size() - (record != nullptr ? record->cutter.held_size() : 0);
    const std::int64_t got = network.receive(handle, buffer.data(), room);
    if (got <= 0) return result;

    const std::uint16_t port = record != nullptr ? record->port : network.peer_port(handle);
    const auto queue = [&](const Cut& cut) {
        if (queue_cut(cut, handle, port, stamp, bus_bound, net_bound, result.queued)) ++result.bad;
    };
    std::span<const std::uint8_t> bytes(buffer.data(), static_cast<std::size_t>(got));
    if (record != nullptr) bytes = bytes.subspan(key_line_end_length(record->after_key, bytes));
    if (record != nullptr) {
        record->cutter.feed(bytes, now_ms, queue);
        table.note_holding(*record);
        record->error_count += result.bad;
        record->frames_sent += result.queued.size();
        count_queued(table, network, *record, result.queued.size());
    } else {
        // A connection without a record keeps nothing from one read to the next.
        FrameCutter once(RejectedRun::to_next_start, {});
        once.feed(bytes, now_ms, queue);
        once.give_up(queue);
    }
    return result;
}

void give_up_held_piece(ClientTable& table, Network& network, ClientRecord& record, FrameTime stamp,
                        BusQueue& bus_bound, NetBoundQueue& net_bound,
                        std::vector<QueueEntry>& queued) {
    // Cut as any read is: a frame found whole in the piece goes on as one.
    const std::size_t before = queued.size();
    record.cutter.give_up([&](const Cut& cut) {
        if (queue_cut(cut, record.handle, record.port, stamp, bus_bound, net_bound, queued))
            ++record.error_count;
    });
    table.note_holding(record);
    record.frames_sent += queued.size() - before;
    count_queued(table, network, record, queued.size() - before);
}

}  // namespace quillon
