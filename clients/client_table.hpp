#pragma once

#include <array>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "clients/client_record.hpp"
#include "ui/view_types.hpp"

namespace quillon {

// An analyzer keeps its place by sending a datagram more often than this.
inline constexpr std::int64_t analyzer_silence_limit_s = 300;
// Ended records stay in the table for this long.
inline constexpr std::int64_t ended_record_keep_s = 3600;
// Bounds against a peer that reconnects in a loop or sends datagrams from
// ever new ports: the table, and with it the list's rebuilds, stay small.
inline constexpr std::size_t max_ended_records = 200;
inline constexpr std::int32_t max_live_analyzers = 64;
inline constexpr std::int32_t max_live_analyzers_per_address = 4;
// A client with more frames than this waiting for the bus is not read from
// until the queue drains; TCP flow control holds it back meanwhile.
inline constexpr std::int32_t max_frames_waiting_per_client = 200;
// What one read of client data may take, together with a held frame start.
inline constexpr std::size_t network_buffer_bytes = 4096;

// The clients, live and recently ended, oldest first; the rows that show them;
// and the count of each client's frames waiting for the bus.
class ClientTable {
  public:
    const std::vector<ClientRecord>& records() const { return records_; }

    // The live record of the handle and kind; nullptr when there is none.
    ClientRecord* live(ConnectionHandle handle, ClientKind kind);
    // The newest record of the handle, live or ended; nullptr when there is none.
    ClientRecord* find(ConnectionHandle handle);
    const ClientRecord* find(ConnectionHandle handle) const;
    std::int32_t live_analyzer_count() const;
    std::int32_t live_analyzer_count(const std::string& address) const;

    ClientRecord& add(ClientRecord record);
    // Ends the live record of the handle (0 matches none); the ended record,
    // still in the table, or nullptr.
    ClientRecord* end(ConnectionHandle handle, Date now);
    // Removes records ended more than ended_record_keep_s ago, then the oldest
    // ended ones beyond max_ended_records.
    void purge(Date now);
    void clear();

    // A frame of this client was queued for the bus: true when its reading
    // must pause now.
    [[nodiscard]] bool frame_queued(ConnectionHandle handle);
    // A frame of this client left the queue: true when its reading may go on now.
    [[nodiscard]] bool frame_left(ConnectionHandle handle, std::int64_t now_ms);

    // When the first piece held from a live client that is being read will
    // have waited too long; "never" when none is held.
    std::int64_t next_give_up_ms() const;
    // The clients holding the start of a frame: kept up to date by whoever
    // feeds or empties a record's cutter, so that the loop need not look at
    // every client on every pass.
    void note_holding(const ClientRecord& record);
    const std::set<ConnectionHandle>& holding() const { return holding_; }

    // The rows, newest record first. After a connection, a blank follows the
    // port; the flag stays until the next rebuild that says otherwise.
    const std::vector<ClientRow>& rebuild_rows(bool after_connection);
    const std::vector<ClientRow>& rebuild_rows() { return rebuild_rows(rows_after_connection_); }
    const std::vector<ClientRow>& rows() const { return rows_; }

    // Where one read of client data goes.
    std::array<std::uint8_t, network_buffer_bytes>& receive_buffer() { return buffer_; }

  private:
    std::vector<ClientRecord> records_;
    std::set<ConnectionHandle> holding_;
    std::vector<ClientRow> rows_;
    bool rows_after_connection_ = false;
    std::array<std::uint8_t, network_buffer_bytes> buffer_{};
};

// "ADD IP,a.b.c.d:port,connected,ended" and "DEL IP,..." lines of the feed.
std::string client_line(std::string_view prefix, const ClientRecord& record);

}  // namespace quillon
