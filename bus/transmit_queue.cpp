#include "bus/transmit_queue.hpp"

#include <algorithm>
#include <limits>

namespace quillon {
namespace {

// The interface module's words about its receive buffer and the bus.
constexpr std::uint8_t module_bus_off = 0x09;
constexpr std::uint8_t module_bus_active = 0x0A;
constexpr std::uint8_t module_buffer_full = 0x0B;
constexpr std::uint8_t module_buffer_ready = 0x0C;

}  // namespace

bool BusQueue::due(std::int64_t now_ms) const {
    if (flow_ != ModuleFlow::accepting && now_ms - flow_since_ms_ <= module_hold_limit_ms)
        return false;
    return now_ms - last_transmit_ms_ > pacing_delay_ms_;
}

std::int64_t BusQueue::ms_until_due(std::int64_t now_ms) const {
    std::int64_t due_at = last_transmit_ms_ + pacing_delay_ms_ + 1;
    if (flow_ != ModuleFlow::accepting)
        due_at = std::max(due_at, flow_since_ms_ + module_hold_limit_ms + 1);
    return due_at > now_ms ? due_at - now_ms : 0;
}

std::int64_t BusQueue::next_due_ms(std::int64_t now_ms) const {
    std::int64_t due = std::numeric_limits<std::int64_t>::max();
    if (!empty()) {
        const std::int64_t wait = ms_until_due(now_ms);
        due = wait == 0 ? now_ms : now_ms + wait + 1;
    }
    if (flow_ != ModuleFlow::accepting) due = std::min(due, flow_since_ms_ + module_hold_limit_ms + 1);
    return due;
}

const QueueEntry* BusQueue::take(std::int64_t now_ms) {
    // An empty step moves the time on too: a lone frame waits for the next step.
    last_transmit_ms_ = now_ms;
    if (empty()) return nullptr;
    return &entries_[taken_++];
}

void BusQueue::drop_taken() {
    entries_.erase(entries_.begin(), entries_.begin() + static_cast<std::ptrdiff_t>(taken_));
    taken_ = 0;
}

std::int32_t BusQueue::take_written_bytes() {
    const auto n = static_cast<std::int32_t>(written_bytes_);
    written_bytes_ = 0;
    return n;
}

bool BusQueue::note_module_frame(std::span<const std::uint8_t> frame, std::int64_t now_ms) {
    // 0F F8 00 01 command checksum 04
    if (frame.size() != 7 || frame[1] != 0xF8 || frame[2] != 0x00 || frame[3] != 0x01) return false;
    ModuleFlow said = flow_;
    switch (frame[4]) {
        case module_buffer_full:
            said = ModuleFlow::buffer_full;
            break;
        case module_bus_off:
            said = ModuleFlow::bus_off;
            break;
        case module_buffer_ready:
        case module_bus_active:
            said = ModuleFlow::accepting;
            break;
        default:
            return false;
    }
    if (said == ModuleFlow::accepting && flow_ == ModuleFlow::accepting) return false;
    // A repeated "full" starts its wait again.
    const bool changed = said != flow_;
    flow_ = said;
    flow_since_ms_ = now_ms;
    return changed;
}

bool BusQueue::end_stale_hold(std::int64_t now_ms) {
    if (flow_ == ModuleFlow::accepting || now_ms - flow_since_ms_ <= module_hold_limit_ms)
        return false;
    flow_ = ModuleFlow::accepting;
    return true;
}

}  // namespace quillon
