#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace quillon::integration {

using Bytes = std::vector<std::uint8_t>;

// A well-formed frame: 0F, priority, address, length byte (RTR flag 0x40 and
// the data count), data, checksum, 04.
Bytes make_frame(std::uint8_t priority, std::uint8_t address, const Bytes& data, bool rtr = false);

// Two's complement of the 8-bit sum of the first `count` bytes.
std::uint8_t checksum_of(std::span<const std::uint8_t> bytes, std::size_t count);

// Upper-case hexadecimal, two digits a byte, no separators.
std::string hex_text(std::span<const std::uint8_t> bytes);

Bytes joined(const std::vector<Bytes>& frames);

// A well-formed frame found in a byte stream, and the index of its last byte.
struct FoundFrame {
    Bytes bytes;
    std::size_t last_index = 0;
};

// Every well-formed frame of the stream, in order. Bytes that belong to no
// well-formed frame are skipped one at a time, so a broken candidate cannot
// hide a good frame that starts inside it.
std::vector<FoundFrame> find_frames(std::span<const std::uint8_t> stream);

}  // namespace quillon::integration
