#include "app/bussim/frame.hpp"

#include <algorithm>
#include <cassert>

namespace quillon::bussim {

Frame build_frame(std::uint8_t priority, std::uint8_t address, bool rtr,
                  std::span<const std::uint8_t> data) {
    assert(data.size() <= 15);
    const auto n = static_cast<std::uint8_t>(data.size());
    Frame f;
    f.reserve(data.size() + BusFrame::min_size);
    f.push_back(BusFrame::start_byte);
    f.push_back(priority);
    f.push_back(address);
    f.push_back(static_cast<std::uint8_t>((rtr ? BusFrame::rtr_flag : 0) | n));
    for (const std::uint8_t b : data) f.push_back(b);
    f.push_back(frame_checksum(f.data(), static_cast<int>(f.size()) - 1));
    f.push_back(BusFrame::end_byte);
    return f;
}

std::vector<Cut> FrameCutter::feed(std::span<const std::uint8_t> bytes) {
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    std::vector<Cut> cuts;
    std::size_t at = 0;
    while (true) {
        const auto start = std::find(pending_.begin() + static_cast<std::ptrdiff_t>(at),
                                     pending_.end(), BusFrame::start_byte);
        at = static_cast<std::size_t>(start - pending_.begin());
        if (start == pending_.end()) break;
        const auto verdict = judge_candidate(std::span(pending_).subspan(at));
        if (!verdict.complete) break;
        const auto first = pending_.begin() + static_cast<std::ptrdiff_t>(at);
        cuts.push_back(
            {Frame(first, first + static_cast<std::ptrdiff_t>(verdict.size)), verdict.status});
        at += verdict.status == FrameStatus::valid ? verdict.size : 1;
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(at));
    return cuts;
}

}  // namespace quillon::bussim
