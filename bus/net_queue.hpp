#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

#include "bus/queue_entry.hpp"

namespace quillon {

// Entries to the clients leave at least this far apart, in microseconds.
inline constexpr std::int64_t client_spacing_us = 2000;

// The net-bound queue: frames from the bus and echo copies of client frames,
// for the clients. One entry goes out at a time, each at least
// client_spacing_ms after the previous one; the loop carries on meanwhile.
// An entry sent stays at the front until the pass has shown it.
class NetBoundQueue {
  public:
    void push(QueueEntry entry) { entries_.push_back(std::move(entry)); }
    const FrameQueue& entries() const { return entries_; }
    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }

    // The next entry to go out, when its time has come; nullptr otherwise.
    const QueueEntry* next_due(std::int64_t now_us) const;
    // That entry has gone out now.
    void mark_sent(std::int64_t now_us);
    // Forgets the entries that have gone out.
    void drop_sent();

    // When the next entry may go out, in microseconds; "never" when none waits.
    std::int64_t next_due_us() const;

  private:
    FrameQueue entries_;
    std::size_t sent_ = 0;  // entries at the front that have gone out
    std::int64_t last_sent_us_ = std::numeric_limits<std::int64_t>::min() / 2;
};

}  // namespace quillon
