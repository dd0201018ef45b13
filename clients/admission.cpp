#include "clients/admission.hpp"

#include <algorithm>
#include <limits>

namespace quillon {
namespace {}  // namespace

bool same_key(std::string_view given, std::string_view key) {
    unsigned difference = given.size() == key.size() ? 0U : 1U;
    for (std::size_t i = 0; i < key.size(); ++i) {
        const unsigned theirs = i < given.size() ? static_cast<unsigned char>(given[i]) : 0U;
        difference |= theirs ^ static_cast<unsigned char>(key[i]);
    }
    return difference == 0;
}

std::size_t key_line_end_length(KeyLineEnd& state, std::span<const std::uint8_t> bytes) {
    std::size_t n = 0;
    while (state != KeyLineEnd::none && n < bytes.size()) {
        const std::uint8_t b = bytes[n];
        if (b == '\r' && state == KeyLineEnd::may_follow) {
            state = KeyLineEnd::after_cr;
            ++n;
        } else if (b == '\n') {
            state = KeyLineEnd::none;
            ++n;
        } else {
            state = KeyLineEnd::none;
        }
    }
    return n;
}

bool Admission::begin(ConnectionHandle handle, std::string address, std::uint16_t port,
                      std::int64_t now_ms) {
    if (const auto it = blocked_until_.find(address); it != blocked_until_.end()) {
        if (now_ms < it->second) return false;
        blocked_until_.erase(it);
    }
    pending_[handle] = {std::move(address), port, now_ms, {}};
    return true;
}

Admission::Outcome Admission::read_key(ConnectionHandle handle, Network& network,
                                       std::int64_t now_ms) {
    const auto it = pending_.find(handle);
    if (it == pending_.end()) return {};
    Waiting& w = it->second;
    char buffer[256];
    while (w.received.size() < key_.size()) {
        const std::size_t want = std::min(sizeof buffer, key_.size() - w.received.size());
        const std::int64_t got =
            network.receive(handle, reinterpret_cast<std::uint8_t*>(buffer), want);
        if (got <= 0) break;
        w.received.append(buffer, static_cast<std::size_t>(got));
    }
    Outcome outcome;
    outcome.handle = handle;
    outcome.address = w.address;
    outcome.port = w.port;
    if (w.received.size() < key_.size()) return outcome;
    if (!same_key(w.received, key_)) {
        const Waiting refused = std::move(w);
        pending_.erase(it);
        return refuse(handle, refused, Refusal::wrong_key, now_ms);
    }
    pending_.erase(it);
    outcome.kind = Outcome::Kind::admitted;
    return outcome;
}

std::optional<Admission::Outcome> Admission::closed(ConnectionHandle handle, std::int64_t now_ms) {
    const auto it = pending_.find(handle);
    if (it == pending_.end()) return std::nullopt;
    const Waiting w = std::move(it->second);
    pending_.erase(it);
    // A peer that only tried the door (a set-up test connects and closes at once).
    if (w.received.empty()) return std::nullopt;
    return refuse(handle, w, Refusal::no_key, now_ms);
}

std::vector<Admission::Outcome> Admission::expire(std::int64_t now_ms) {
    std::vector<Outcome> refused;
    for (auto it = pending_.begin(); it != pending_.end();) {
        if (now_ms - it->second.since_ms <= key_wait_limit_ms) {
            ++it;
            continue;
        }
        refused.push_back(refuse(it->first, it->second, Refusal::no_key, now_ms));
        it = pending_.erase(it);
    }
    return refused;
}

std::int64_t Admission::next_due_ms() const {
    std::int64_t due = std::numeric_limits<std::int64_t>::max();
    for (const auto& [handle, w] : pending_) {
        (void)handle;
        due = std::min(due, w.since_ms + key_wait_limit_ms + 1);
    }
    return due;
}

bool Admission::is_key(std::string_view content) const {
    if (key_.empty()) return false;
    if (content.ends_with("\r\n")) {
        content.remove_suffix(2);
    } else if (content.ends_with('\n') || content.ends_with('\r')) {
        content.remove_suffix(1);
    }
    return same_key(content, key_);
}

Admission::Outcome Admission::refuse(ConnectionHandle handle, const Waiting& w, Refusal reason,
                                     std::int64_t now_ms) {
    Outcome outcome;
    outcome.kind = Outcome::Kind::refused;
    outcome.reason = reason;
    outcome.handle = handle;
    outcome.address = w.address;
    outcome.port = w.port;

    // Connections that waited from before the block add nothing to it.
    if (const auto b = blocked_until_.find(w.address);
        b != blocked_until_.end() && now_ms < b->second)
        return outcome;
    if (refusals_.size() >= max_remembered_addresses && refusals_.count(w.address) == 0) {
        // The oldest memory goes first; a blocked address stays blocked.
        refusals_.erase(std::min_element(
            refusals_.begin(), refusals_.end(),
            [](const auto& a, const auto& b) { return a.second.back() < b.second.back(); }));
    }
    std::deque<std::int64_t>& times = refusals_[w.address];
    times.push_back(now_ms);
    while (!times.empty() && now_ms - times.front() > refusal_window_ms)
        times.pop_front();
    if (static_cast<int>(times.size()) >= refusals_before_block) {
        if (blocked_until_.size() >= max_remembered_addresses) {
            std::erase_if(blocked_until_, [now_ms](const auto& b) { return b.second <= now_ms; });
            if (blocked_until_.size() >= max_remembered_addresses)
                blocked_until_.erase(std::min_element(
                    blocked_until_.begin(), blocked_until_.end(),
                    [](const auto& x, const auto& y) { return x.second < y.second; }));
        }
        blocked_until_[w.address] = now_ms + block_length_ms;
        refusals_.erase(w.address);
        outcome.block_began = true;
    }
    return outcome;
}

}  // namespace quillon
