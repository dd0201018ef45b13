#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "bus/queue_entry.hpp"
#include "bus/serial_port.hpp"
#include "clients/client_record.hpp"
#include "clients/network.hpp"
#include "core/clock.hpp"
#include "core/gateway_state.hpp"
#include "ui/operator_view.hpp"

namespace quillon {

inline constexpr std::size_t receive_buffer_bytes = 4096;
inline constexpr std::size_t bandwidth_history_samples = 111;
inline constexpr std::size_t traffic_list_max_rows = 500;

struct BandwidthSample {
    std::int64_t tx_height = 0;  // pixels
    std::int64_t rx_height = 0;  // pixels
};

// The serial link's state: open, or lost and being tried again.
enum class SerialLinkState { closed, open, lost };

// What the interface module last said about taking frames from the gateway.
enum class ModuleFlow { accepting, buffer_full, bus_off };

// The whole gateway: its state record, queues, client table, history, buffers,
// and the ports it talks to the world through. One per process, one thread.
struct Gateway {
    Gateway(Clock& c, SerialPort& s, Network& n, OperatorView& v)
        : clock(c), serial(s), network(n), view(v) {}
    Gateway(const Gateway&) = delete;
    Gateway& operator=(const Gateway&) = delete;
    ~Gateway() {
        if (debug_log != nullptr) std::fclose(debug_log);
    }

    GatewayState state;
    FrameQueue bus_bound;               // from clients, to the bus
    FrameQueue net_bound;               // from the bus and echo copies, to the clients
    std::vector<ClientRecord> clients;  // table order: oldest first
    std::deque<BandwidthSample> bandwidth_history;
    std::array<std::uint8_t, receive_buffer_bytes> serial_buffer{};
    std::array<std::uint8_t, receive_buffer_bytes> network_buffer{};

    Clock& clock;
    SerialPort& serial;
    Network& network;
    OperatorView& view;

    // What the traffic list and the client list show, top row first; the
    // saved traffic list and "Disconnect" read them.
    std::deque<TrafficRow> traffic_rows;
    std::vector<ClientRow> client_rows;
    // Table index of each client row, top row first.
    std::vector<std::size_t> client_row_records;
    // Whether the client list was last rebuilt after a connection (its rows
    // then carry a blank after the port).
    bool client_rows_after_connection = false;

    // Bytes of a frame that the serial port has delivered only in part.
    std::vector<std::uint8_t> serial_held;
    std::int64_t serial_held_since_ms = 0;
    SerialLinkState serial_link = SerialLinkState::closed;
    std::int64_t serial_retry_ms = 0;  // last attempt to reopen a lost port

    // Paced writes wait while the module says it cannot take them.
    ModuleFlow module_flow = ModuleFlow::accepting;
    std::int64_t module_flow_since_ms = 0;

    bool analyzer_server_open = false;
    bool running = false;

    std::filesystem::path working_directory = ".";
    // Settings given by the program itself (the demo); the settings file is then not touched.
    std::optional<std::string> settings_text;
    std::FILE* debug_log = nullptr;
};

}  // namespace quillon
