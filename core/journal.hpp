#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/line_budget.hpp"
#include "clients/client_record.hpp"
#include "core/pass_time.hpp"

namespace quillon {

struct Gateway;

// The start-up summary, a line each. First the version and the settings file,
// before anything can fail;
void journal_version(Gateway& gw);
// then, once the servers listen, the serial port and how it was found, every
// server with its address, kind and whether it needs the key, the TLS
// certificate's fingerprint and the web monitor.
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
