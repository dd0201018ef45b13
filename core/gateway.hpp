#pragma once

// The gateway is one owner of records that each keep their own rules:
//
//   SerialLink    the serial port, its line, lost-and-retried state, the held
//                 start of a frame, what the bus sent and when (bus/)
//   BusQueue      frames from clients for the bus, their pacing and the
//                 module's flow control (bus/)
//   net_bound     frames from the bus and echo copies for the clients
//   ClientTable   clients live and ended, their rows, their frames waiting (clients/)
//   Admission     connections not yet clients, waiting for the key (clients/)
//   RefusalTable  refusals at every door, per address, and the blocks (clients/)
//   TrafficList   the rows shown and the operator's filter (ui/)
//   Statistics    the bit rates, their history and the uptime (ui/)
//   DebugLog      the debug log file (analyzer/)
//
// Queue entries hold what came (bytes, verdict, arrival, sender); rows and feed
// lines are made from them in one place (analyzer/frame_report) when they are
// shown. The loop (gateway_loop.cpp) reads the clock once a pass and hands the
// time down; the records never see each other, core/ wires them together.

#include <cstdint>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "analyzer/debug_log.hpp"
#include "base/clock.hpp"
#include "base/files.hpp"
#include "base/line_budget.hpp"
#include "bus/bus_clock.hpp"
#include "bus/net_queue.hpp"
#include "bus/queue_entry.hpp"
#include "bus/serial_device_finder.hpp"
#include "bus/serial_link.hpp"
#include "bus/transmit_queue.hpp"
#include "clients/admission.hpp"
#include "clients/broker.hpp"
#include "clients/certificates.hpp"
#include "clients/client_table.hpp"
#include "clients/network.hpp"
#include "clients/outlet.hpp"
#include "clients/refusal_table.hpp"
#include "core/mqtt_bridge.hpp"
#include "core/settings.hpp"
#include "ui/operator_input.hpp"
#include "ui/operator_log.hpp"
#include "ui/operator_view.hpp"
#include "ui/statistics.hpp"
#include "ui/traffic_list.hpp"
#include "ui/view_watcher.hpp"

namespace quillon {

// What has passed since the start, for the figures a monitoring system reads.
struct FrameCounts {
    std::uint64_t frames = 0;  // good or bad
    std::uint64_t bytes = 0;
    std::uint64_t bad_checksum = 0;
    std::uint64_t bad_length = 0;

    void count(const QueueEntry& e) {
        ++frames;
        bytes += e.bytes.size();
        bad_checksum += e.status == FrameStatus::bad_checksum;
        bad_length += e.status == FrameStatus::bad_length;
    }
};

struct GatewayCounters {
    FrameCounts from_bus;
    FrameCounts from_clients;
    std::uint64_t written_frames = 0;  // written to the bus
    std::uint64_t written_bytes = 0;
    std::uint64_t serial_reconnects = 0;
};

// The ports the gateway talks to the world through.
struct Ports {
    Clock& clock;
    SerialPort& serial;
    Network& network;
    OperatorView& view;
    ViewWatcher& watcher;  // NoViewWatcher when nobody watches
    LoopWait& wait;
    OperatorDialogs& dialogs;
    OperatorLog& log;
    Files& files;
};

// What the program hands the gateway besides its ports: where its files
// are, what the command line says over the settings, and the parts it may lack.
struct GatewaySetup {
    // The settings file, and the folder for what the gateway writes: saved
    // lists, the debug log, a self-signed certificate (by default the
    // settings file's own folder).
    std::filesystem::path settings_file{"Quillon.ini"};
    std::filesystem::path data_directory{"."};
    std::filesystem::path settings_folder() const {
        return settings_file.has_parent_path() ? settings_file.parent_path()
                                               : std::filesystem::path(".");
    }
    // Settings given by the program itself (the demo); the settings file is then not touched.
    std::optional<std::string> settings_text;
    // The local addresses given on the command line, over the settings' own.
    std::optional<std::vector<std::string>> listen_override;
    // Lists the interface modules for a search ("SerialPort = auto"); none,
    // none is ever found.
    SerialDeviceFinder* serial_devices = nullptr;
    // Makes the TLS server's self-signed certificate; none, none can be made.
    CertificateMaker* certificates = nullptr;
    // The web monitor; none, the gateway has no way to it.
    Outlet* outlet = nullptr;
    // The link to an MQTT broker; none, no MQTT.
    BrokerLink* broker = nullptr;
    // This machine's name: the MQTT topics' default prefix, its device's name.
    std::string host_name = "localhost";
};

// The loop's own timing across passes.
struct LoopState {
    bool running = false;
    std::int64_t last_purge_ms = 0;
    // "V:" shows the frames the last pass took from the bus: after a pass
    // that took some, the next comes this soon, so that it reads 0 again
    // while the loop sleeps.
    std::int64_t bus_frames_field_due_ms = std::numeric_limits<std::int64_t>::max();
};

// The client list changed in this pass; it is drawn once, at the pass's end,
// in the form the latest connection or disconnection gave it.
struct ClientListDraw {
    bool changed = false;
    std::optional<bool> after_connection;
};

// What is open besides the client servers, and the TLS files the TLS server
// started with.
struct ServersOpen {
    bool analyzer = false;
    bool outlet = false;
    TlsFiles tls_files;
};

// The whole gateway: one owner of the records that each keep their own
// rules, handed to the loop. One per process, one thread.
struct Gateway {
    explicit Gateway(Ports p)
        : clock(p.clock),
          network(p.network),
          view(p.view),
          watcher(p.watcher),
          wait(p.wait),
          dialogs(p.dialogs),
          log(p.log),
          files(p.files),
          serial(p.serial) {}
    Gateway(const Gateway&) = delete;
    Gateway& operator=(const Gateway&) = delete;

    Clock& clock;
    Network& network;
    OperatorView& view;
    ViewWatcher& watcher;
    LoopWait& wait;
    OperatorDialogs& dialogs;
    OperatorLog& log;
    Files& files;

    Settings settings;
    SerialLink serial;
    BusQueue bus_bound;       // from clients, to the bus
    NetBoundQueue net_bound;  // from the bus and echo copies, to the clients
    ClientTable clients;
    Admission admission;    // the connections that have not given the key yet
    RefusalTable refusals;  // every door's refusals, per address, and the blocks
    LineBudget client_lines{max_client_lines_per_minute};  // the journal's client lines
    TrafficList traffic;
    Statistics statistics;
    DebugLog debug_log{files};
    BusClockSchedule bus_clock;  // when the modules' clocks are set next
    MqttState mqtt;

    LoopState loop;
    ClientListDraw client_list;
    ServersOpen servers;
    GatewayCounters counters;
    GatewaySetup setup;

    std::vector<std::string> listen_addresses() const {
        return setup.listen_override ? *setup.listen_override : settings.listen;
    }
};

}  // namespace quillon
