#pragma once

#include <string>

namespace quillon {

struct Gateway;

// The gateway's figures in the Prometheus text format: frames and bytes each
// way, bad frames by kind, who is connected, refusals, the serial link, the
// module's flow control, the queues and what waits for each client.
std::string metrics_text(Gateway& gw);

}  // namespace quillon
