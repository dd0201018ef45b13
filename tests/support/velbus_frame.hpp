#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

// Velbus frames as every test writes them: the unit tests, the window's and
// the end-to-end ones. The checksum is worked out here rather than by the
// gateway's own code, so that no test takes what it checks on trust.
namespace quillon::testing {

using Bytes = std::vector<std::uint8_t>;

// Two's complement of the 8-bit sum of the first `count` bytes.
inline std::uint8_t checksum_of(std::span<const std::uint8_t> bytes, std::size_t count) {
    unsigned sum = 0;
    for (std::size_t i = 0; i < count && i < bytes.size(); ++i)
        sum += bytes[i];
    return static_cast<std::uint8_t>(-sum & 0xFFu);
}

// 0F, priority, address, the length byte as given (it may say another count
// than the data's), the data, the checksum, 04.
inline Bytes frame_with_length_byte(std::uint8_t priority, std::uint8_t address,
                                    std::uint8_t length_byte, const Bytes& data) {
    Bytes frame{0x0F, priority, address, length_byte};
    frame.insert(frame.end(), data.begin(), data.end());
    frame.push_back(checksum_of(frame, frame.size()));
    frame.push_back(0x04);
    return frame;
}

// A well-formed frame: its length byte counts the data, with the RTR flag
// 0x40 when asked.
inline Bytes make_frame(std::uint8_t priority, std::uint8_t address, const Bytes& data,
                        bool rtr = false) {
    const auto length = static_cast<std::uint8_t>((rtr ? 0x40 : 0x00) | (data.size() & 0x0F));
    return frame_with_length_byte(priority, address, length, data);
}

}  // namespace quillon::testing
