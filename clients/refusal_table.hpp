#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <limits>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "clients/doors.hpp"

namespace quillon {

// This many refusals from one address within the window block it, at every
// door, for a while.
inline constexpr int refusals_before_block = 5;
inline constexpr std::int64_t refusal_window_ms = 60000;
inline constexpr std::int64_t block_length_ms = 60000;
// Addresses remembered at the most: a crowd of addresses cannot grow the
// table without bound.
inline constexpr std::size_t max_remembered_addresses = 1024;
// Rows about refusals in a minute, over all addresses; past them, one summary
// row a minute, so that guessing cannot push the bus rows out of the list or
// flood the journal.
inline constexpr int max_refusal_rows_per_minute = 30;
inline constexpr std::int64_t refusal_row_window_ms = 60000;

// A peer turned away at one of the doors.
struct Refusal {
    Door door = Door::tcp;
    RefusalReason reason = RefusalReason::wrong_key;
    std::string address;  // its text form; an IPv4-mapped address in its IPv4 form
    std::uint16_t port = 0;
};

// The refusals of every door, one record per address: which addresses are
// blocked, and which rows the refusals deserve. The first refusals of an
// address each get a row, then one row says it is blocked; what it tries
// while blocked is only counted, and one row at the end of the block says
// how much.
class RefusalTable {
  public:
    // What the gateway shows and tells its doors after a refusal or a tick.
    struct Row {
        std::string text;
        bool alarm = false;  // a block beginning: worth more than a line
    };
    struct Outcome {
        std::vector<Row> rows;               // in order
        std::vector<std::string> blocked;    // addresses whose block began
        std::vector<std::string> unblocked;  // addresses whose block ended
    };

    void refuse(const Refusal& refusal, std::int64_t now_ms, Outcome& out);
    bool blocked(const std::string& address, std::int64_t now_ms) const;
    // Ends the blocks that have run out and closes the minute of rows.
    void tick(std::int64_t now_ms, Outcome& out);
    // When tick() has something to do; "never" when nothing waits.
    std::int64_t next_due_ms() const;

    std::uint64_t refused_total(Door door) const { return totals_[static_cast<std::size_t>(door)]; }

  private:
    struct Record {
        std::deque<std::int64_t> times;  // of the refusals in the window
        std::int64_t last_ms = 0;
        std::int64_t blocked_until_ms = 0;  // 0: not blocked
        std::uint64_t while_blocked = 0;
    };
    void row(std::string text, std::int64_t now_ms, Outcome& out, bool alarm = false);
    void count_in_minute(const std::string& address, std::int64_t now_ms);
    void end_minute(Outcome& out);
    void make_room(Outcome& out);
    void unblock(std::map<std::string, Record>::iterator it, std::int64_t now_ms, Outcome& out);

    std::map<std::string, Record> records_;
    std::set<std::pair<std::int64_t, std::string>> block_ends_;  // when, whose
    std::array<std::uint64_t, door_count> totals_{};

    // The minute of rows: it begins with its first refusal.
    std::int64_t minute_start_ms_ = 0;
    bool minute_open_ = false;
    int minute_rows_ = 0;
    std::uint64_t minute_attempts_ = 0;
    std::uint64_t minute_unshown_ = 0;
    std::set<std::string> minute_addresses_;
};

}  // namespace quillon
