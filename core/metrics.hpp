#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quillon {

struct Gateway;

// What the gateway's records do not hold: when the process started, and how
// many browsers the web monitor has let in.
struct ProcessFigures {
    std::int64_t start_time_s = 0;  // seconds since 1970-01-01 UTC
    std::size_t browsers = 0;
};

// The gateway's figures in the Prometheus text format: its version and start,
// frames and bytes each way, bad frames by kind, who is connected, refusals,
// the serial link, the module's flow control, the queues and what waits for
// the clients of each address.
std::string metrics_text(Gateway& gw, const ProcessFigures& process);

// Why the gateway cannot carry frames now, in one line; empty when it can
// (the serial link is open and the client servers listen).
std::string health_problem(const Gateway& gw);

}  // namespace quillon
