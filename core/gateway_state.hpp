#pragma once

#include <cstdint>
#include <string>

#include "core/date_text.hpp"

namespace quillon {

// The gateway's one state record. Every step of the loop reads and writes it
// directly; times named *_ms are monotonic milliseconds, dates are local
// seconds (see date_text.hpp).
struct GatewayState {
    // Settings (read from the settings file or given by the first-configuration dialog).
    std::int32_t tcp_port = 8080;  // the analyzer UDP port is always tcp_port + 1
    std::string serial_settings;   // the whole "SerialPort" value
    std::string serial_port_name = "COM6";
    std::int32_t serial_baud = 0;
    std::int32_t serial_parity = 0;  // 0 none, 1 odd, 2 even, 3 mark, 4 space
    std::int32_t serial_data_bits = 0;
    float serial_stop_bits = 0.0f;      // 1.0 one, 2.0 two, anything else one and a half
    std::int32_t serial_handshake = 0;  // 0 none, 1 RTS held on, 2 RTS/CTS, 3 XON/XOFF
    std::string module_type;            // "RS" (exactly) selects the RS-232 module

    std::string version_text = "3.25";
    std::int32_t pacing_delay_ms = 50;
    std::int32_t bus_timeout_ms = 120000;
    std::int64_t last_bus_rx_ms = 0;
    bool bus_timeout_reported = false;
    std::int64_t last_bus_tx_ms = 0;
    std::int64_t stats_started_ms = 0;
    std::int64_t last_stats_ms = 0;
    std::int64_t last_purge_ms = 0;
    std::string second_text;
    std::int64_t second_start_ms = 0;
    Date start_date = 0;
    std::int32_t bus_rx_bytes = 0;
    std::int32_t bus_tx_bytes = 0;
    std::int32_t last_event = 0;  // 0 none, 13100 a control was used, 13116 close button
};

}  // namespace quillon
