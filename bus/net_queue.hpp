#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

#include "bus/queue_entry.hpp"

namespace quillon {

// Entries to the clients leave at least this far apart, in microseconds.
inline constexpr std::int64_t client_spacing_us = 2000;

// Past this many entries waiting, the spacing gives way: the oldest go out
// back to back, each in its own write, until this many are left, and those
// keep it. A real bus cannot outrun the spacing at its bit rate: a backlog
// from it means the loop was held up (64 frames are some 300 ms of a busy
// bus), or a client's burst came back as echo copies at once; these keep
// their spacing. Only a fault or a test floods faster, and then the queue
// stays this short and the delay bounded. Pausing the serial reads instead
// would lose frames: the module's line has no flow control.
inline constexpr std::size_t spaced_backlog_entries = 64;

// The net-bound queue: frames from the bus and echo copies of client frames,
// for the clients. Entries go out one at a time, each at least
// client_spacing_us after the previous one (but for a backlog, see above);
// the loop carries on meanwhile. An entry leaves the queue as it goes out:
// the pass shows its own copy of what came.
class NetBoundQueue {
  public:
    void push(QueueEntry entry) { entries_.push_back(std::move(entry)); }
    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }

    // The next entry to go out, when its time has come or a backlog presses;
    // nullptr otherwise.
    const QueueEntry* next_due(std::int64_t now_us) const;
    // That entry has gone out now: it leaves the queue.
    void pop_sent(std::int64_t now_us);

    // When the next entry may go out, in microseconds; "never" when none waits.
    std::int64_t next_due_us() const;

  private:
    bool backlog() const { return entries_.size() > spaced_backlog_entries; }

    FrameQueue entries_;
    std::int64_t last_sent_us_ = std::numeric_limits<std::int64_t>::min() / 2;
};

}  // namespace quillon
