#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "tests/support/velbus_frame.hpp"

namespace quillon::integration {

using ::quillon::testing::Bytes;
using ::quillon::testing::checksum_of;
using ::quillon::testing::make_frame;

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
