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

namespace {

constexpr std::int64_t us_per_ms = 1000;

}  // namespace

bool BusQueue::due(std::int64_t now_us) const {
    if (flow_ != ModuleFlow::accepting &&
        now_us / us_per_ms - flow_since_ms_ <= module_hold_limit_ms)
        return false;
    return now_us - last_transmit_us_ >= (pacing_delay_ms_ + 1) * us_per_ms;
}

std::int64_t BusQueue::us_until_due(std::int64_t now_us) const {
    std::int64_t due_at = last_transmit_us_ + (pacing_delay_ms_ + 1) * us_per_ms;
    if (flow_ != ModuleFlow::accepting)
        due_at = std::max(due_at, (flow_since_ms_ + module_hold_limit_ms + 1) * us_per_ms);
    return due_at > now_us ? due_at - now_us : 0;
}

std::int64_t BusQueue::next_due_us(std::int64_t now_us) const {
    std::int64_t due = std::numeric_limits<std::int64_t>::max();
    if (!empty()) due = now_us + us_until_due(now_us);
    if (flow_ != ModuleFlow::accepting)
        due = std::min(due, (flow_since_ms_ + module_hold_limit_ms + 1) * us_per_ms);
    return due;
}

void BusQueue::push(QueueEntry entry) {
    FrameQueue& line = lines_[entry.sender];
    if (line.empty()) turns_.push_back(entry.sender);
    line.push_back(std::move(entry));
    ++waiting_;
}

std::optional<QueueEntry> BusQueue::take(std::int64_t now_us) {
    // An empty step moves the time on too: a lone frame waits for the next step.
    last_transmit_us_ = now_us;
    if (turns_.empty()) return std::nullopt;
    const ConnectionHandle sender = turns_.front();
    turns_.pop_front();
    const auto line = lines_.find(sender);
    QueueEntry entry = std::move(line->second.front());
    line->second.pop_front();
    if (line->second.empty()) {
        lines_.erase(line);
    } else {
        turns_.push_back(sender);
    }
    --waiting_;
    return entry;
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
