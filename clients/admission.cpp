#include "clients/admission.hpp"

#include <algorithm>
#include <limits>

namespace quillon {

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

void Admission::begin(ConnectionHandle handle, Door door, std::string address, std::uint16_t port,
                      std::int64_t now_ms) {
    pending_[handle] = {door, std::move(address), port, now_ms, {}};
}

Admission::Outcome Admission::read_key(ConnectionHandle handle, Network& network) {
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
    if (w.received.size() < key_.size()) return outcome(handle, w);
    if (!same_key(w.received, key_)) {
        const Waiting refused = std::move(w);
        pending_.erase(it);
        return refuse(handle, refused, RefusalReason::wrong_key);
    }
    Outcome admitted = outcome(handle, w);
    admitted.kind = Outcome::Kind::admitted;
    pending_.erase(it);
    return admitted;
}

std::optional<Admission::Outcome> Admission::closed(ConnectionHandle handle) {
    const auto it = pending_.find(handle);
    if (it == pending_.end()) return std::nullopt;
    const Waiting w = std::move(it->second);
    pending_.erase(it);
    // A peer that only tried the door (a set-up test connects and closes at once).
    if (w.received.empty()) return std::nullopt;
    return refuse(handle, w, RefusalReason::no_key);
}

std::vector<Admission::Outcome> Admission::expire(std::int64_t now_ms) {
    std::vector<Outcome> refused;
    for (auto it = pending_.begin(); it != pending_.end();) {
        if (now_ms - it->second.since_ms <= key_wait_ms_) {
            ++it;
            continue;
        }
        refused.push_back(refuse(it->first, it->second, RefusalReason::no_key));
        it = pending_.erase(it);
    }
    return refused;
}

std::int64_t Admission::next_due_ms() const {
    std::int64_t due = std::numeric_limits<std::int64_t>::max();
    for (const auto& [handle, w] : pending_) {
        (void)handle;
        due = std::min(due, w.since_ms + key_wait_ms_ + 1);
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

Admission::Outcome Admission::outcome(ConnectionHandle handle, const Waiting& w) {
    Outcome o;
    o.handle = handle;
    o.refusal.door = w.door;
    o.refusal.address = w.address;
    o.refusal.port = w.port;
    return o;
}

Admission::Outcome Admission::refuse(ConnectionHandle handle, const Waiting& w,
                                     RefusalReason reason) {
    Outcome o = outcome(handle, w);
    o.kind = Outcome::Kind::refused;
    o.refusal.reason = reason;
    return o;
}

}  // namespace quillon
