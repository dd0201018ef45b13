#pragma once

#include <cstdint>

namespace quillon {

// Lines about clients that come and go, a minute at the most; past them, one
// line a minute says how many more there were, so that a client that
// reconnects in a loop cannot flood the journal.
inline constexpr int max_client_lines_per_minute = 20;
inline constexpr std::int64_t journal_minute_ms = 60000;

// A number of lines allowed per minute; the minute begins with its first line.
class LineBudget {
  public:
    explicit LineBudget(int per_minute) : per_minute_(per_minute) {}
    // Whether a line may be written now; one held back is counted.
    [[nodiscard]] bool take(std::int64_t now_ms);
    // Ends the minute once it is over: how many lines it held back.
    std::uint64_t end_minute(std::int64_t now_ms);
    // When the held-back lines are owed their summary; "never" when none are.
    std::int64_t next_due_ms() const;

  private:
    int per_minute_;
    bool open_ = false;
    std::int64_t start_ms_ = 0;
    int written_ = 0;
    std::uint64_t held_ = 0;
};

}  // namespace quillon
