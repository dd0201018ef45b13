#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

#include "bus/bus_frame.hpp"
#include "bus/frame_cutter.hpp"

namespace quillon::bussim {

using Frame = std::vector<std::uint8_t>;

constexpr std::uint8_t priority_high = 0xF8;  // commands and events
constexpr std::uint8_t priority_low = 0xFB;   // requests, replies, status

// Start byte, priority, address, RTR flag and length, data (at most 15 bytes), checksum, end byte.
Frame build_frame(std::uint8_t priority, std::uint8_t address, bool rtr,
                  std::span<const std::uint8_t> data);
inline Frame build_frame(std::uint8_t priority, std::uint8_t address,
                         std::initializer_list<std::uint8_t> data) {
    return build_frame(priority, address, false, std::span(data.begin(), data.size()));
}

// Field access on a frame that was judged valid.
inline std::uint8_t frame_priority(const Frame& f) {
    return f[1];
}
inline std::uint8_t frame_address(const Frame& f) {
    return f[2];
}
inline bool frame_rtr(const Frame& f) {
    return (f[3] & BusFrame::rtr_flag) != 0;
}
inline std::span<const std::uint8_t> frame_data(const Frame& f) {
    return {f.data() + BusFrame::header_size, static_cast<std::size_t>(f[3] & 0x0F)};
}

// A candidate cut from the stream, with its verdict.
struct Cut {
    Frame bytes;
    FrameStatus status = FrameStatus::bad_length;
};

// Reassembles frames from a byte stream that may arrive split or glued, with
// the gateway's own cutter: bytes before a start byte are dropped; after a
// rejected candidate the search resumes one byte further, so a valid frame
// hidden behind a stray start byte is still found.
class FrameCutter {
  public:
    std::vector<Cut> feed(std::span<const std::uint8_t> bytes);
    std::size_t pending() const { return cutter_.held_size(); }

  private:
    // Nothing is given up: the simulator waits for the rest as long as it takes.
    quillon::FrameCutter cutter_{RejectedRun::start_byte, {}, BadChecksum::searched_again};
};

}  // namespace quillon::bussim
