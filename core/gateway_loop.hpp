#pragma once

#include <cstdint>

#include "core/pass_time.hpp"

namespace quillon {

struct Gateway;

enum class StartOutcome {
    running,
    network_failed,
    configuration_quit,         // the operator quit the first-configuration dialog
    configuration_unavailable,  // no settings file and no way to ask for them
    settings_unreadable,        // the settings file is there but cannot be read
    serial_failed,
    tcp_server_failed,
};

// Start-up: settings, window, serial port, analyzer socket, TCP server.
// Every failure has shown its message box before this returns.
[[nodiscard]] StartOutcome start_gateway(Gateway& gw);

// Reads the settings file again: what can change without dropping a client
// (the key, for the next connections) is applied; the rest is reported as
// needing a restart.
void reload_settings(Gateway& gw, Date now);

// One pass of the main loop. Returns false once the gateway has shut down.
bool run_pass(Gateway& gw);

// Passes until the gateway shuts down.
void run_main_loop(Gateway& gw);

// The longest sleep of the loop, in milliseconds: the statistics fall due
// every second, so this is never reached in practice.
inline constexpr std::int32_t longest_wait_ms = 1001;
// How long "V:" shows a pass's count of bus frames before the next pass shows 0.
inline constexpr std::int64_t bus_frames_field_hold_ms = 20;
// Network events handled in one pass at the most.
inline constexpr int max_network_events_per_pass = 64;
inline constexpr std::int64_t purge_period_ms = 3600000;

}  // namespace quillon
