#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "clients/client_record.hpp"
#include "core/pass_time.hpp"

namespace quillon {

struct Gateway;

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
    bool take(std::int64_t now_ms);
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

// The start-up summary, a line each. First the version and the settings file,
// before anything can fail;
void journal_version(Gateway& gw);
// then, once the servers listen, the serial port and how it was found, every
// server with its address, kind and whether it needs the key, and the TLS
// certificate's fingerprint.
void journal_start(Gateway& gw);

// How a client's connection ended, for its line.
enum class ClientEnd { left, dropped, by_operator, all_disconnected };

void journal_client_came(Gateway& gw, const ClientRecord& client, const PassTime& time);
void journal_client_left(Gateway& gw, const ClientRecord& client, ClientEnd how,
                         const PassTime& time);
// The minute's summary of the lines held back, once it is over.
void tick_journal(Gateway& gw, const PassTime& time);

// "45 s", "12 min 5 s", "3 h 4 min", "2 d 5 h".
std::string duration_text(std::int64_t seconds);

// "0.0.0.0:8080" for every address, else each listen address with the port.
std::string server_addresses(const Gateway& gw, std::int64_t port);

}  // namespace quillon
