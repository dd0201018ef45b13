#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "bus/bus_frame.hpp"

namespace quillon {

// One candidate cut from a byte stream, with its verdict. The bytes are valid
// until the cutter is used again.
struct Cut {
    std::span<const std::uint8_t> bytes;
    FrameStatus status = FrameStatus::bad_length;
};

// How far a candidate judged a bad length reaches.
enum class RejectedRun {
    // Only its start byte: a real frame may begin inside it (the bus side).
    start_byte,
    // Up to the next start byte, which begins the next candidate (client data).
    to_next_start,
};

// What a bad checksum does to a candidate whose end byte is in place.
enum class BadChecksum {
    // It is a frame, reported as such and taken whole (the gateway's judging).
    taken_whole,
    // It is reported, but its bytes are searched again one byte further, as
    // a listener on the bus must do to find its next frame.
    searched_again,
};

// When the start of a frame that waits for its rest is given up.
struct HoldLimit {
    enum class Since {
        first_byte,  // the time the start came (the bus: its bytes come within ms)
        last_byte,   // the time the latest of its bytes came (a client's pause)
    };
    std::int64_t after_ms = 0;
    Since since = Since::first_byte;
};

// Cuts a byte stream into frames. A candidate whose end lies beyond the bytes
// so far is held (at most max_size - 1 bytes) and judged when the rest comes,
// so a frame split across reads is put together. Bytes that start no
// candidate are skipped and counted.
class FrameCutter {
  public:
    FrameCutter(RejectedRun rejected, HoldLimit limit,
                BadChecksum bad_checksum = BadChecksum::taken_whole)
        : rejected_(rejected), limit_(limit), bad_checksum_(bad_checksum) {}

    // Cuts what is held followed by `bytes`; `on_cut(const Cut&)` is called
    // for every candidate in order. A candidate left incomplete is held.
    template <typename OnCut>
    void feed(std::span<const std::uint8_t> bytes, std::int64_t now_ms, OnCut&& on_cut) {
        const bool carried = !held_.empty();
        if (carried) held_.insert(held_.end(), bytes.begin(), bytes.end());
        const std::span<const std::uint8_t> stream = carried ? std::span(held_) : bytes;
        const std::size_t stop = scan(stream, false, on_cut);
        keep(stream, stop, now_ms, carried);
    }

    // When a held start will have waited longer than the limit; "never" when
    // nothing is held.
    std::int64_t give_up_at_ms() const {
        return held_.empty() ? std::numeric_limits<std::int64_t>::max()
                             : held_since_ms_ + limit_.after_ms + 1;
    }

    // Whether a held start has waited longer than the limit.
    bool give_up_due(std::int64_t now_ms) const {
        return !held_.empty() && now_ms - held_since_ms_ > limit_.after_ms;
    }

    // Judges the held bytes as they stand: the incomplete candidate becomes a
    // bad-length piece (and the rest of it is cut on). Nothing is held after.
    template <typename OnCut>
    void give_up(OnCut&& on_cut) {
        if (held_.empty()) return;
        scan(std::span<const std::uint8_t>(held_), true, on_cut);
        held_.clear();
    }

    // Forgets what is held.
    void drop() { held_.clear(); }
    // Starts the wait of a held piece afresh (its bytes were not looked for).
    void restart_wait(std::int64_t now_ms) { held_since_ms_ = now_ms; }

    bool holding() const { return !held_.empty(); }
    std::size_t held_size() const { return held_.size(); }
    // Bytes that started no candidate, since the cutter was made.
    std::uint64_t skipped() const { return skipped_; }

  private:
    // Returns the offset of an incomplete candidate at the end (to be held),
    // or the stream's size. With `flush`, nothing is left incomplete.
    template <typename OnCut>
    std::size_t scan(std::span<const std::uint8_t> s, bool flush, OnCut& on_cut) {
        std::size_t i = 0;
        while (i < s.size()) {
            if (s[i] != BusFrame::start_byte) {
                ++i;
                ++skipped_;
                continue;
            }
            const CandidateVerdict v = judge_candidate(s.subspan(i));
            if (!v.complete && !flush) return i;
            if (v.complete && v.status != FrameStatus::bad_length) {
                on_cut(Cut{s.subspan(i, v.size), v.status});
                const bool again = v.status == FrameStatus::bad_checksum &&
                                   bad_checksum_ == BadChecksum::searched_again;
                i += again ? 1 : v.size;
                continue;
            }
            const std::size_t end = rejected_end(s, i, v);
            on_cut(Cut{s.subspan(i, end - i), FrameStatus::bad_length});
            i = rejected_ == RejectedRun::start_byte ? i + 1 : end;
        }
        return s.size();
    }

    std::size_t rejected_end(std::span<const std::uint8_t> s, std::size_t i,
                             const CandidateVerdict& v) const;
    // Holds stream[from..] (the stream may be the held bytes themselves).
    void keep(std::span<const std::uint8_t> stream, std::size_t from, std::int64_t now_ms,
              bool carried);

    RejectedRun rejected_;
    HoldLimit limit_;
    BadChecksum bad_checksum_;
    std::vector<std::uint8_t> held_;
    std::int64_t held_since_ms_ = 0;
    std::uint64_t skipped_ = 0;
};

}  // namespace quillon
