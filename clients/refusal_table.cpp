#include "clients/refusal_table.hpp"

#include <algorithm>

namespace quillon {
namespace {

std::string reason_text(RefusalReason reason) {
    switch (reason) {
        case RefusalReason::wrong_key:
            return "wrong key";
        case RefusalReason::no_key:
            return "no key";
        case RefusalReason::no_tls_handshake:
            return "no TLS handshake";
        case RefusalReason::blocked:
            return "blocked";
    }
    return "refused";
}

// "refused 192.168.1.30 (50712): wrong key", the door named where the port
// alone would not say it.
std::string refusal_text(const Refusal& r) {
    std::string where;
    switch (r.door) {
        case Door::tcp:
        case Door::tls:
            where = std::to_string(r.port);
            break;
        case Door::analyzer:
            where = std::to_string(r.port) + ", analyzer";
            break;
        case Door::web:
        case Door::websocket:
            where = "web monitor";
            break;
        case Door::metrics:
            where = "/metrics";
            break;
        case Door::save:
            where = "/save";
            break;
    }
    return "refused " + r.address + " (" + where + "): " + reason_text(r.reason);
}

}  // namespace

void RefusalTable::refuse(const Refusal& r, std::int64_t now_ms, Outcome& out) {
    ++totals_[static_cast<std::size_t>(r.door)];
    if (minute_open_ && now_ms - minute_start_ms_ >= refusal_row_window_ms) end_minute(out);
    count_in_minute(r.address, now_ms);

    auto it = records_.find(r.address);
    if (it == records_.end()) {
        // Turned away for a block that this table no longer holds: counted only.
        if (r.reason == RefusalReason::blocked) return;
        make_room(out);
        it = records_.emplace(r.address, Record{}).first;
    }
    Record& rec = it->second;
    rec.last_ms = now_ms;
    if (rec.blocked_until_ms != 0) {
        if (now_ms < rec.blocked_until_ms) {
            ++rec.while_blocked;
            return;
        }
        unblock(it, now_ms, out);
    }
    if (r.reason == RefusalReason::blocked) return;

    rec.times.push_back(now_ms);
    while (!rec.times.empty() && now_ms - rec.times.front() > refusal_window_ms)
        rec.times.pop_front();
    row(refusal_text(r), now_ms, out);
    if (static_cast<int>(rec.times.size()) < refusals_before_block) return;
    rec.times.clear();
    rec.blocked_until_ms = now_ms + block_length_ms;
    rec.while_blocked = 0;
    block_ends_.emplace(rec.blocked_until_ms, r.address);
    out.blocked.push_back(r.address);
    row("blocked " + r.address + " for a minute: " + std::to_string(refusals_before_block) +
            " refusals within a minute",
        now_ms, out, true);
}

bool RefusalTable::blocked(const std::string& address, std::int64_t now_ms) const {
    const auto it = records_.find(address);
    return it != records_.end() && it->second.blocked_until_ms != 0 &&
           now_ms < it->second.blocked_until_ms;
}

void RefusalTable::tick(std::int64_t now_ms, Outcome& out) {
    while (!block_ends_.empty() && block_ends_.begin()->first <= now_ms) {
        const auto it = records_.find(block_ends_.begin()->second);
        if (it == records_.end()) {
            block_ends_.erase(block_ends_.begin());
            continue;
        }
        unblock(it, now_ms, out);
    }
    if (minute_open_ && now_ms - minute_start_ms_ >= refusal_row_window_ms) end_minute(out);
}

std::int64_t RefusalTable::next_due_ms() const {
    std::int64_t due = std::numeric_limits<std::int64_t>::max();
    if (!block_ends_.empty()) due = block_ends_.begin()->first;
    // The summary is owed only when rows were left out.
    if (minute_open_ && minute_unshown_ > 0)
        due = std::min(due, minute_start_ms_ + refusal_row_window_ms);
    return due;
}

void RefusalTable::row(std::string text, std::int64_t now_ms, Outcome& out, bool alarm) {
    if (!minute_open_) {
        minute_open_ = true;
        minute_start_ms_ = now_ms;
    }
    if (minute_rows_ >= max_refusal_rows_per_minute) {
        ++minute_unshown_;
        return;
    }
    ++minute_rows_;
    out.rows.push_back({std::move(text), alarm});
}

void RefusalTable::count_in_minute(const std::string& address, std::int64_t now_ms) {
    if (!minute_open_) {
        minute_open_ = true;
        minute_start_ms_ = now_ms;
    }
    ++minute_attempts_;
    if (minute_addresses_.size() < max_remembered_addresses) minute_addresses_.insert(address);
}

void RefusalTable::end_minute(Outcome& out) {
    if (minute_unshown_ > 0) {
        out.rows.push_back({"refused " + std::to_string(minute_attempts_) + " attempts from " +
                                std::to_string(minute_addresses_.size()) +
                                (minute_addresses_.size() == 1 ? " address" : " addresses") +
                                " in the last minute",
                            false});
    }
    minute_open_ = false;
    minute_rows_ = 0;
    minute_attempts_ = 0;
    minute_unshown_ = 0;
    minute_addresses_.clear();
}

void RefusalTable::unblock(std::map<std::string, Record>::iterator it, std::int64_t now_ms,
                           Outcome& out) {
    Record& rec = it->second;
    block_ends_.erase({rec.blocked_until_ms, it->first});
    out.unblocked.push_back(it->first);
    row("unblocked " + it->first + ": " + std::to_string(rec.while_blocked) +
            (rec.while_blocked == 1 ? " attempt" : " attempts") + " refused while it was blocked",
        now_ms, out);
    rec.blocked_until_ms = 0;
    rec.while_blocked = 0;
}

void RefusalTable::make_room(Outcome& out) {
    if (records_.size() < max_remembered_addresses) return;
    // The address that has been quiet longest goes first; a blocked one only
    // when every address is blocked, and then the block that ends first.
    auto victim = records_.end();
    for (auto it = records_.begin(); it != records_.end(); ++it) {
        if (it->second.blocked_until_ms != 0) continue;
        if (victim == records_.end() || it->second.last_ms < victim->second.last_ms) victim = it;
    }
    if (victim == records_.end()) {
        victim = records_.find(block_ends_.begin()->second);
        block_ends_.erase(block_ends_.begin());
        out.unblocked.push_back(victim->first);
    }
    records_.erase(victim);
}

}  // namespace quillon
