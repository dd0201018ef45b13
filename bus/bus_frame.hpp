#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace quillon {

// A Velbus frame of n data bytes (n = low nibble of byte 3, 0..15) is n + 6 bytes:
// start 0F, priority, address, RTR flag and length, data, checksum, end 04.
struct BusFrame {
    static constexpr std::uint8_t start_byte = 0x0F;
    static constexpr std::uint8_t end_byte = 0x04;
    static constexpr std::uint8_t rtr_flag = 0x40;
    static constexpr std::size_t header_size = 4;  // start, priority, address, length byte
    static constexpr std::size_t min_size = 6;
    static constexpr std::size_t max_size = 21;

    // Frame size announced by a length byte; the high nibble (RTR flag included) is ignored.
    static constexpr std::size_t size_for(std::uint8_t length_byte) {
        return static_cast<std::size_t>(length_byte & 0x0F) + min_size;
    }
};

// The verdict that travels with every queued frame.
enum class FrameStatus : std::int32_t {
    valid = 1,
    echo_copy = 0,
    bad_checksum = -2,
    bad_length = -3,
};

constexpr std::int32_t status_code(FrameStatus s) {
    return static_cast<std::int32_t>(s);
}

// Whether a frame with this verdict goes on to the clients: a valid bus frame
// or an echo copy. Bad frames are only shown.
constexpr bool forwardable(FrameStatus s) {
    return s == FrameStatus::valid || s == FrameStatus::echo_copy;
}

// Two's complement of the 8-bit sum of bytes[0..last_index], both ends included.
// A negative last_index covers no byte and gives 0.
std::uint8_t frame_checksum(const std::uint8_t* bytes, int last_index);

// The low 8 bits of value as two upper-case hexadecimal digits.
std::string hex_byte(int value);

// hex_byte of each byte, joined without separator.
std::string hex_dump(const std::uint8_t* bytes, std::size_t count);
inline std::string hex_dump(std::span<const std::uint8_t> bytes) {
    return hex_dump(bytes.data(), bytes.size());
}

// Judging a candidate that starts with the start byte. The end byte is tested
// before the checksum, so a candidate failing both is a bad length.
// `bytes` holds the candidate's full announced size (BusFrame::size_for(bytes[3])).
FrameStatus judge_frame(const std::uint8_t* bytes);

// Result of looking at the bytes available from a start byte on.
struct CandidateVerdict {
    bool complete = false;  // false: the announced end lies beyond the bytes available
    std::size_t size = 0;   // announced size; 0 while even the length byte is missing
    FrameStatus status = FrameStatus::bad_length;
};

// Judges the candidate at the head of `available` (whose first byte is the start
// byte) when all of it is there; otherwise reports it incomplete, so that an
// extractor can hold it until the rest arrives.
CandidateVerdict judge_candidate(std::span<const std::uint8_t> available);

}  // namespace quillon
