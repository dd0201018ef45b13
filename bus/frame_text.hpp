#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quillon {

// The most bytes a frame given as text may have: more is refused unread.
inline constexpr std::size_t max_frame_text_bytes = 64;

// A frame given as hex text ("0F FB 00 ..."), as read: its bytes when it is a
// whole good frame, otherwise why not.
struct FrameFromText {
    std::vector<std::uint8_t> bytes;
    std::string problem;  // empty: a good frame
    bool good() const { return problem.empty(); }
};

// Pairs of hex digits, in groups separated by blanks ("0FFB00" and
// "0F FB 00" read alike); the frame must be whole, of the length its length
// byte gives, with the right checksum.
FrameFromText frame_from_text(std::string_view text);

}  // namespace quillon
