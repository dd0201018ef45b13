#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <span>

#include "bus/queue_entry.hpp"

namespace quillon {

// The pacing delays: frames leave more than this many ms apart.
inline constexpr std::int32_t pacing_delay_slow_ms = 50;
inline constexpr std::int32_t pacing_delay_fast_ms = 5;

// The longest the queue waits for "receive buffer ready" or "bus active"
// after the module said "receive buffer full" or "bus off": a lost message
// cannot stop the writes for good.
inline constexpr std::int64_t module_hold_limit_ms = 5000;

// What the interface module last said about taking frames.
enum class ModuleFlow { accepting, buffer_full, bus_off };

// The bus-bound queue and its pacing: frames from clients wait here and leave
// one per transmit step, when the pacing delay has run out since the previous
// step and the module is not holding them back. Each client's frames wait in a
// line of their own and the steps take from the lines in turn, so that one
// client's backlog delays another's frame by one step, not by the backlog.
class BusQueue {
  public:
    // Behind the sender's earlier frames; a sender with none waiting joins
    // the end of the turns.
    void push(QueueEntry entry);
    bool empty() const { return waiting_ == 0; }
    // Frames waiting, every client's.
    std::size_t size() const { return waiting_; }

    void set_pacing_delay(std::int32_t ms) { pacing_delay_ms_ = ms; }
    std::int32_t pacing_delay() const { return pacing_delay_ms_; }

    // Whether a transmit step may run: at least a millisecond more than the
    // delay since the previous one, counted in microseconds (so that the real
    // gap is surely more than the delay), and no hold from the module.
    bool due(std::int64_t now_us) const;
    // Microseconds until it may; 0 when it may now.
    std::int64_t us_until_due(std::int64_t now_us) const;

    // When the loop should next look here, in microseconds: a paced write
    // falling due, or the end of the module's hold. "Never" when nothing waits.
    std::int64_t next_due_us(std::int64_t now_us) const;

    // The transmit step: the oldest frame of the client whose turn it is,
    // if any frame waits, and the next delay starts.
    [[nodiscard]] std::optional<QueueEntry> take(std::int64_t now_us);

    // Bytes written to the bus, for the statistics.
    void count_written(std::size_t bytes) { written_bytes_ += static_cast<std::uint32_t>(bytes); }
    std::int32_t take_written_bytes();

    // A frame from the bus that may be the module's flow control (priority F8,
    // address 00, command 09 to 0C). True when the module's word changed.
    [[nodiscard]] bool note_module_frame(std::span<const std::uint8_t> frame, std::int64_t now_ms);
    // Ends a hold that has lasted longer than module_hold_limit_ms; true when it did.
    [[nodiscard]] bool end_stale_hold(std::int64_t now_ms);
    ModuleFlow module_flow() const { return flow_; }

  private:
    std::map<ConnectionHandle, FrameQueue> lines_;  // only senders with frames waiting
    std::deque<ConnectionHandle> turns_;            // those senders, the next one first
    std::size_t waiting_ = 0;
    std::int32_t pacing_delay_ms_ = pacing_delay_slow_ms;
    std::int64_t last_transmit_us_ = 0;
    std::uint32_t written_bytes_ = 0;
    ModuleFlow flow_ = ModuleFlow::accepting;
    std::int64_t flow_since_ms_ = 0;
};

}  // namespace quillon
