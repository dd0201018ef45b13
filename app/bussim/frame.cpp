#include "app/bussim/frame.hpp"

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
    std::vector<Cut> cuts;
    cutter_.feed(bytes, 0, [&cuts](const quillon::Cut& cut) {
        cuts.push_back({Frame(cut.bytes.begin(), cut.bytes.end()), cut.status});
    });
    return cuts;
}

}  // namespace quillon::bussim
