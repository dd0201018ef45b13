// The bench's frames: each carries its own identity in its data bytes (command
// byte = phase, then a 16-bit sequence number), so that each client and the bus
// side can check order and integrity of what they receive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "bus/frame_cutter.hpp"

namespace quillon::bench {

// The command byte of the bench's frames tells which measurement sent them.
enum Phase : std::uint8_t {
    phase_sync = 0xA0,
    phase_latency = 0xA1,
    phase_burst = 0xA2,
    phase_pacing = 0xA3,
    phase_load = 0xA4,
    phase_uplink = 0xA5,
    phase_soak = 0xA6,
    phase_last = phase_soak,
};

// 0F prio addr len phase seq_hi seq_lo [padding] checksum 04, 3 to 8 data bytes.
std::vector<std::uint8_t> make_frame(std::uint8_t phase, std::uint32_t seq);

// Frames 0..count-1 of one phase back to back, for one write.
std::vector<std::uint8_t> make_frames(std::uint8_t phase, std::size_t count);

// t_ns: when the kernel queued the frame's last bytes at the client (the
// socket's receive timestamp), or when poll reported them where there is no
// such stamp (the pty); woke_ns: when poll reported them to the bench.
struct Arrival {
    std::uint8_t phase = 0;
    std::uint32_t seq = 0;
    std::int64_t t_ns = 0;
    std::int64_t woke_ns = 0;
};

// Cuts a byte stream into frames, with the gateway's own cutter, and notes
// when each one was complete.
struct FrameStream {
    quillon::FrameCutter cutter{
        quillon::RejectedRun::start_byte, {}, quillon::BadChecksum::searched_again};
    std::vector<Arrival> arrivals;
    std::int64_t bad_bytes = 0;  // bytes skipped while looking for a good frame
    std::int64_t foreign = 0;    // good frames the bench did not send

    void feed(const std::uint8_t* bytes, std::size_t count, std::int64_t t_ns,
              std::int64_t woke_ns);
    std::size_t count(std::uint8_t phase) const;
    bool has(std::uint8_t phase, std::uint32_t seq) const;
};

// Order and completeness of one phase's frames 0..expected-1 in one stream.
struct Integrity {
    std::int64_t missing = 0;
    std::int64_t out_of_order = 0;
    std::int64_t bad_bytes = 0;
    std::int64_t foreign = 0;

    void add(const FrameStream& s, std::uint8_t phase, std::uint32_t expected);
    std::int64_t faults() const { return missing + out_of_order + bad_bytes; }
    bool clean() const { return faults() == 0; }
    std::string text() const;
};

}  // namespace quillon::bench
