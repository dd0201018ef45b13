#include "bus/frame_cutter.hpp"

namespace quillon {

std::size_t FrameCutter::rejected_end(std::span<const std::uint8_t> s, std::size_t i,
                                      const CandidateVerdict& v) const {
    if (rejected_ == RejectedRun::start_byte) return v.complete ? i + v.size : s.size();
    std::size_t j = i + 1;
    while (j < s.size() && s[j] != BusFrame::start_byte)
        ++j;
    return j;
}

void FrameCutter::keep(std::span<const std::uint8_t> stream, std::size_t from, std::int64_t now_ms,
                       bool carried) {
    // A start still waiting keeps the time it first came, where that is the rule.
    const bool same_start = carried && from == 0;
    if (from >= stream.size()) {
        held_.clear();
        return;
    }
    if (carried) {
        held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(from));
    } else {
        held_.assign(stream.begin() + static_cast<std::ptrdiff_t>(from), stream.end());
    }
    if (!(same_start && limit_.since == HoldLimit::Since::first_byte)) held_since_ms_ = now_ms;
}

}  // namespace quillon
