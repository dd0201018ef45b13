#include "clients/client_table.hpp"

#include <algorithm>
#include <limits>

namespace quillon {
namespace {

ClientRow client_row(const ClientRecord& c, bool after_connection) {
    ClientRow row;
    row.icon = c.live() ? icon_client_live : icon_client_ended;
    row.cell(ClientColumn::address) = c.ip_text + " (" + std::to_string(c.port) + ")";
    if (after_connection) row.cell(ClientColumn::address) += " ";
    if (c.is_analyzer()) row.cell(ClientColumn::address) += "[Analyzer]";
    row.cell(ClientColumn::start) = format_date(date_time_pattern, c.connect_date);
    if (!c.live()) row.cell(ClientColumn::end) = format_date(date_time_pattern, c.disconnect_date);
    row.cell(ClientColumn::errors) = std::to_string(c.error_count);
    row.client = c.handle;
    row.address = c.ip_text;
    row.port = c.port;
    row.live = c.live();
    return row;
}

}  // namespace

std::string client_line(std::string_view prefix, const ClientRecord& c) {
    return std::string(prefix) + c.label() + "," + format_date(date_time_pattern, c.connect_date) +
           "," + format_date(date_time_pattern, c.disconnect_date);
}

ClientRecord* ClientTable::live(ConnectionHandle handle, ClientKind kind) {
    for (ClientRecord& c : records_) {
        if (c.handle == handle && c.kind == kind && c.live()) return &c;
    }
    return nullptr;
}

ClientRecord* ClientTable::find(ConnectionHandle handle) {
    for (auto it = records_.rbegin(); it != records_.rend(); ++it) {
        if (it->handle == handle) return &*it;
    }
    return nullptr;
}

const ClientRecord* ClientTable::find(ConnectionHandle handle) const {
    return const_cast<ClientTable*>(this)->find(handle);
}

std::int32_t ClientTable::live_analyzer_count() const {
    return static_cast<std::int32_t>(
        std::count_if(records_.begin(), records_.end(),
                      [](const ClientRecord& c) { return c.live() && c.is_analyzer(); }));
}

std::int32_t ClientTable::live_analyzer_count(const std::string& address) const {
    return static_cast<std::int32_t>(
        std::count_if(records_.begin(), records_.end(), [&address](const ClientRecord& c) {
            return c.live() && c.is_analyzer() && c.ip_text == address;
        }));
}

ClientRecord& ClientTable::add(ClientRecord record) {
    records_.push_back(std::move(record));
    return records_.back();
}

ClientRecord* ClientTable::end(ConnectionHandle handle, Date now) {
    if (handle == 0) return nullptr;
    for (ClientRecord& c : records_) {
        if (c.handle == handle && c.live()) {
            c.disconnect_date = now;
            c.cutter.drop();
            holding_.erase(handle);
            return &c;
        }
    }
    return nullptr;
}

void ClientTable::purge(Date now) {
    std::erase_if(records_, [now](const ClientRecord& c) {
        return !c.live() && now - c.disconnect_date > ended_record_keep_s;
    });
    std::size_t ended = static_cast<std::size_t>(std::count_if(
        records_.begin(), records_.end(), [](const ClientRecord& c) { return !c.live(); }));
    for (auto it = records_.begin(); it != records_.end() && ended > max_ended_records;) {
        if (it->live()) {
            ++it;
            continue;
        }
        it = records_.erase(it);
        --ended;
    }
}

void ClientTable::clear() {
    records_.clear();
    rows_.clear();
    holding_.clear();
}

bool ClientTable::frame_queued(ConnectionHandle handle) {
    ClientRecord* c = find(handle);
    if (c == nullptr) return false;
    ++c->frames_waiting;
    if (c->reading_paused || c->frames_waiting <= max_frames_waiting_per_client) return false;
    c->reading_paused = true;
    return c->live();
}

bool ClientTable::frame_left(ConnectionHandle handle, std::int64_t now_ms) {
    ClientRecord* c = find(handle);
    if (c == nullptr) return false;
    --c->frames_waiting;
    if (!c->reading_paused || c->frames_waiting > max_frames_waiting_per_client) return false;
    c->reading_paused = false;
    // Its held piece waited without being read: it waits afresh.
    c->cutter.restart_wait(now_ms);
    return c->live();
}

std::int64_t ClientTable::next_give_up_ms() const {
    std::int64_t due = std::numeric_limits<std::int64_t>::max();
    for (const ConnectionHandle h : holding_) {
        const ClientRecord* c = find(h);
        if (c != nullptr && c->live() && !c->reading_paused)
            due = std::min(due, c->cutter.give_up_at_ms());
    }
    return due;
}

void ClientTable::note_holding(const ClientRecord& record) {
    if (record.live() && record.cutter.holding()) {
        holding_.insert(record.handle);
    } else {
        holding_.erase(record.handle);
    }
}

const std::vector<ClientRow>& ClientTable::rebuild_rows(bool after_connection) {
    rows_after_connection_ = after_connection;
    rows_.clear();
    rows_.reserve(records_.size());
    for (auto it = records_.rbegin(); it != records_.rend(); ++it)
        rows_.push_back(client_row(*it, after_connection));
    return rows_;
}

}  // namespace quillon
