#include "bench/frames.hpp"

#include <algorithm>
#include <span>

namespace quillon::bench {

std::vector<std::uint8_t> make_frame(std::uint8_t phase, std::uint32_t seq) {
    const std::size_t n = 3 + seq % 6;
    std::vector<std::uint8_t> f;
    f.reserve(n + 6);
    f.push_back(0x0F);
    f.push_back(seq % 2 != 0 ? 0xF8 : 0xFB);
    f.push_back(static_cast<std::uint8_t>(0x01 + seq % 0xFE));
    f.push_back(static_cast<std::uint8_t>(n));
    f.push_back(phase);
    f.push_back(static_cast<std::uint8_t>(seq >> 8));
    f.push_back(static_cast<std::uint8_t>(seq & 0xFF));
    for (std::size_t i = 3; i < n; ++i)
        f.push_back(static_cast<std::uint8_t>(0x30 + i));
    std::uint8_t sum = 0;
    for (std::uint8_t b : f)
        sum = static_cast<std::uint8_t>(sum + b);
    f.push_back(static_cast<std::uint8_t>(-sum));
    f.push_back(0x04);
    return f;
}

std::vector<std::uint8_t> make_frames(std::uint8_t phase, std::size_t count) {
    std::vector<std::uint8_t> bytes;
    for (std::uint32_t s = 0; s < count; ++s) {
        const auto f = make_frame(phase, s);
        bytes.insert(bytes.end(), f.begin(), f.end());
    }
    return bytes;
}

void FrameStream::feed(const std::uint8_t* bytes, std::size_t count, std::int64_t t_ns,
                       std::int64_t woke_ns) {
    const std::uint64_t skipped_before = cutter.skipped();
    cutter.feed(std::span(bytes, count), 0, [&](const quillon::Cut& cut) {
        const auto& f = cut.bytes;
        if (cut.status != quillon::FrameStatus::valid) {
            ++bad_bytes;  // its start byte; the search goes on one byte further
        } else if (f.size() >= 9 && f[4] >= phase_sync && f[4] <= phase_last) {
            arrivals.push_back({f[4], static_cast<std::uint32_t>(f[5]) << 8 | f[6], t_ns, woke_ns});
        } else {
            ++foreign;
        }
    });
    bad_bytes += static_cast<std::int64_t>(cutter.skipped() - skipped_before);
}

std::size_t FrameStream::count(std::uint8_t phase) const {
    return static_cast<std::size_t>(std::count_if(
        arrivals.begin(), arrivals.end(), [phase](const Arrival& a) { return a.phase == phase; }));
}

bool FrameStream::has(std::uint8_t phase, std::uint32_t seq) const {
    for (auto it = arrivals.rbegin(); it != arrivals.rend(); ++it) {
        if (it->phase == phase && it->seq == seq) return true;
    }
    return false;
}

void Integrity::add(const FrameStream& s, std::uint8_t phase, std::uint32_t expected) {
    std::uint32_t next = 0;
    std::uint32_t got = 0;
    for (const Arrival& a : s.arrivals) {
        if (a.phase != phase) continue;
        ++got;
        if (a.seq != next) ++out_of_order;
        next = a.seq + 1;
    }
    if (got < expected) missing += expected - got;
    bad_bytes += s.bad_bytes;
    foreign += s.foreign;
}

std::string Integrity::text() const {
    if (clean()) return "order ok, none missing, 0 bad bytes";
    return std::to_string(missing) + " missing, " + std::to_string(out_of_order) +
           " out of order, " + std::to_string(bad_bytes) + " bad bytes";
}

}  // namespace quillon::bench
