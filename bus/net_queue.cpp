#include "bus/net_queue.hpp"

namespace quillon {

const QueueEntry* NetBoundQueue::next_due(std::int64_t now_us) const {
    if (sent_ >= entries_.size()) return nullptr;
    if (!backlog() && now_us - last_sent_us_ < client_spacing_us) return nullptr;
    return &entries_[sent_];
}

void NetBoundQueue::mark_sent(std::int64_t now_us) {
    ++sent_;
    last_sent_us_ = now_us;
}

void NetBoundQueue::drop_sent() {
    entries_.erase(entries_.begin(), entries_.begin() + static_cast<std::ptrdiff_t>(sent_));
    sent_ = 0;
}

std::int64_t NetBoundQueue::next_due_us() const {
    if (sent_ >= entries_.size()) return std::numeric_limits<std::int64_t>::max();
    return backlog() ? last_sent_us_ : last_sent_us_ + client_spacing_us;
}

}  // namespace quillon
