#include "platform/web/browser_admission.hpp"

namespace quillon {

Places::Taken Places::take(Id id, const std::string& address, std::int64_t now_ms) {
    Taken taken;
    if (holds(id)) {
        taken.ok = true;
        return taken;
    }
    if (of(address) >= per_address_ || total_ == 0) return taken;
    if (members_.size() >= total_) {
        // The address that holds the most, and of those the one that has waited longest.
        auto victim = by_address_.end();
        for (auto it = by_address_.begin(); it != by_address_.end(); ++it) {
            if (victim == by_address_.end() || it->second.size() > victim->second.size() ||
                (it->second.size() == victim->second.size() &&
                 *it->second.begin() < *victim->second.begin()))
                victim = it;
        }
        taken.evicted = victim->second.begin()->second;
        leave(*taken.evicted);
    }
    members_[id] = {address, now_ms};
    by_address_[address].emplace(now_ms, id);
    taken.ok = true;
    return taken;
}

void Places::leave(Id id) {
    const auto it = members_.find(id);
    if (it == members_.end()) return;
    const auto held = by_address_.find(it->second.first);
    held->second.erase({it->second.second, id});
    if (held->second.empty()) by_address_.erase(held);
    members_.erase(it);
}

std::size_t Places::of(const std::string& address) const {
    const auto it = by_address_.find(address);
    return it == by_address_.end() ? 0 : it->second.size();
}

Places::Taken BrowserAdmission::connection_opens(Id id, const std::string& address,
                                                 std::int64_t now_ms) {
    return http_.take(id, address, now_ms);
}

BrowserAdmission::Upgrade BrowserAdmission::websocket_opens(Id id, const std::string& address,
                                                            bool key_required, std::int64_t now_ms,
                                                            std::optional<Id>& evicted) {
    evicted.reset();
    if (websockets_of(address) >= max_websockets_per_address) return Upgrade::too_many_from_address;
    if (key_required) {
        const Places::Taken taken = unadmitted_.take(id, address, now_ms);
        if (!taken.ok) return Upgrade::too_many_from_address;
        if (taken.evicted) {
            evicted = taken.evicted;
            closes(*taken.evicted);
        }
    } else {
        if (admitted_.size() >= max_browsers) return Upgrade::too_many_browsers;
        admitted_.insert(id);
    }
    http_.leave(id);
    websocket_address_[id] = address;
    ++websockets_per_address_[address];
    return Upgrade::ok;
}

bool BrowserAdmission::admit(Id id) {
    if (admitted_.count(id) != 0) return true;
    if (websocket_address_.count(id) == 0 || admitted_.size() >= max_browsers) return false;
    unadmitted_.leave(id);
    admitted_.insert(id);
    return true;
}

void BrowserAdmission::closes(Id id) {
    http_.leave(id);
    unadmitted_.leave(id);
    admitted_.erase(id);
    const auto it = websocket_address_.find(id);
    if (it == websocket_address_.end()) return;
    const auto count = websockets_per_address_.find(it->second);
    if (--count->second == 0) websockets_per_address_.erase(count);
    websocket_address_.erase(it);
}

std::size_t BrowserAdmission::websockets_of(const std::string& address) const {
    const auto it = websockets_per_address_.find(address);
    return it == websockets_per_address_.end() ? 0 : it->second;
}

bool PingBudget::answer(std::int64_t now_ms) {
    // Full, the ring's next slot holds the oldest answer of the last ones.
    if (count_ == answered_.size() && now_ms - answered_[next_] < 1000) return false;
    answered_[next_] = now_ms;
    next_ = (next_ + 1) % answered_.size();
    if (count_ < answered_.size()) ++count_;
    return true;
}

}  // namespace quillon
