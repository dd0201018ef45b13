#include "bus/net_queue.hpp"

namespace quillon {

const QueueEntry* NetBoundQueue::next_due(std::int64_t now_us) const {
    if (entries_.empty()) return nullptr;
    if (!backlog() && now_us - last_sent_us_ < client_spacing_us) return nullptr;
    return &entries_.front();
}

void NetBoundQueue::pop_sent(std::int64_t now_us) {
    entries_.pop_front();
    last_sent_us_ = now_us;
}

std::int64_t NetBoundQueue::next_due_us() const {
    if (entries_.empty()) return std::numeric_limits<std::int64_t>::max();
    return backlog() ? last_sent_us_ : last_sent_us_ + client_spacing_us;
}

}  // namespace quillon
