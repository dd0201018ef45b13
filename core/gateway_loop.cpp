#include "core/gateway_loop.hpp"

#include <algorithm>
#include <limits>
#include <optional>
#include <system_error>

#include "analyzer/frame_report.hpp"
#include "base/version.hpp"
#include "clients/distribution.hpp"
#include "clients/network.hpp"
#include "core/client_events.hpp"
#include "core/control_events.hpp"
#include "core/first_configuration.hpp"
#include "core/gateway.hpp"
#include "core/outlet_requests.hpp"
#include "core/pass_arrivals.hpp"
#include "core/reporting.hpp"
#include "core/servers.hpp"
#include "core/settings.hpp"

namespace quillon {
namespace {

constexpr Rgb lost_link_colour{200, 50, 50};
constexpr Rgb link_back_colour{20, 150, 20};
constexpr Rgb silence_colour{200, 50, 50};

// What reading the settings file gave: the settings, or that there is no
// file, or why it cannot be read.
struct SettingsRead {
    std::optional<Settings> settings;
    std::vector<SettingsWarning> warnings;
    bool missing = false;
    std::string problem;  // the system's reason
    bool permission_denied = false;
};

SettingsRead settings_from_file(Gateway& gw) {
    SettingsRead read;
    // Only a missing file is one to make; a folder, or a path through a plain
    // file, is a problem to report.
    const FileRead file = gw.files.read_whole(gw.setup.settings_file.string());
    if (!file.bytes) {
        read.missing = file.problem == FileProblem::missing;
        read.permission_denied = file.problem == FileProblem::denied;
        read.problem = file.reason;
        return read;
    }
    read.settings = read_settings(*file.bytes);
    read.warnings = settings_warnings(*file.bytes);
    return read;
}

// Keys misspelt and numbers that are none, each a row (and a line in a
// service's journal), where the operator looks.
void show_settings_warnings(Gateway& gw, const SettingsRead& read, Date now) {
    constexpr Rgb warning_colour{160, 90, 0};
    for (const SettingsWarning& w : read.warnings)
        show_notice(
            gw, now, "- settings -",
            gw.setup.settings_file.string() + " line " + std::to_string(w.line) + ": " + w.text,
            warning_colour, false);
}

SettingsRead read_settings_file(Gateway& gw) {
    SettingsRead read;
    if (gw.setup.settings_text) {
        read.settings = read_settings(*gw.setup.settings_text);
    } else {
        read = settings_from_file(gw);
    }
    if (read.settings) gw.settings = *read.settings;
    return read;
}

// The next full hour, when the modules' clocks are set again.
std::int64_t next_bus_clock_ms(const Gateway& gw) {
    if (!gw.settings.clock_sync) return std::numeric_limits<std::int64_t>::max();
    const LocalTime local = gw.clock.local_time();
    const std::optional<Date> next = gw.bus_clock.next_hour(local.date);
    if (!next) return std::numeric_limits<std::int64_t>::max();
    return gw.clock.now_ms() + (*next - local.date) * 1000 - local.ms;
}

// The next moment something is due without input: a statistics refresh, a
// paced write, the next entry to the clients, a held piece's give-up, a retry
// of the serial port, the silence alarm, the end of the module's hold, the
// hourly purge.
// In microseconds: the writes' spacing is counted that finely.
std::int64_t next_due_us(const Gateway& gw, std::int64_t now_us) {
    constexpr std::int64_t us_per_ms = 1000;
    std::int64_t due_ms = gw.statistics.next_due_ms();
    due_ms = std::min(due_ms, gw.serial.next_due_ms());
    due_ms = std::min(due_ms, gw.clients.next_give_up_ms());
    due_ms = std::min(due_ms, gw.admission.next_due_ms());
    due_ms = std::min(due_ms, gw.refusals.next_due_ms());
    due_ms = std::min(due_ms, gw.client_lines.next_due_ms());
    due_ms = std::min(due_ms, gw.loop.bus_frames_field_due_ms);
    due_ms = std::min(due_ms, gw.loop.last_purge_ms + purge_period_ms + 1);
    due_ms = std::min(due_ms, next_bus_clock_ms(gw));
    due_ms = std::min(due_ms, mqtt_next_due_ms(gw));
    const std::int64_t due = due_ms < std::numeric_limits<std::int64_t>::max() / us_per_ms
                                 ? due_ms * us_per_ms
                                 : std::numeric_limits<std::int64_t>::max();
    return std::min({due, gw.bus_bound.next_due_us(now_us), gw.net_bound.next_due_us()});
}

// The loop sleeps until the next thing is due, or input comes: whole
// milliseconds, rounded up so that the wait never ends before the due time.
std::int32_t event_wait_timeout(const Gateway& gw, std::int64_t now_us) {
    const std::int64_t until = next_due_us(gw, now_us) - now_us;
    if (until <= 0) return 0;
    return static_cast<std::int32_t>(std::min<std::int64_t>(longest_wait_ms, (until + 999) / 1000));
}

std::string ethernet_status(const Settings& s) {
    if (!s.tls_server()) return "Ethernet port " + std::to_string(s.tcp_port);
    if (!s.plain_server()) return "Ethernet TLS port " + std::to_string(s.tls_port);
    return "Ethernet port " + std::to_string(s.tcp_port) + ", TLS " + std::to_string(s.tls_port);
}

// Reads the clock once for the pass.
PassTime pass_time(Clock& clock) {
    PassTime t;
    t.ms = clock.now_ms();
    const LocalTime local = clock.local_time();
    t.date = local.date;
    t.stamp = {local.date, local.ms / 10};
    return t;
}

// What went wrong with the serial port and what to do about it.
std::string serial_problem(const std::string& name, const SerialOpenError& e) {
    if (name.empty())
        return "SerialPort names no port: set SerialPort = auto to find the module, or its "
               "device (look under /dev/serial/by-id/)";
    const std::string what = name + ": " + e.reason;
    switch (e.problem) {
        case SerialOpenProblem::permission:
            return what +
                   ": the account that runs Quillon needs the dialout group (sudo adduser "
                   "ACCOUNT dialout, then log in again), or another program holds the port";
        case SerialOpenProblem::not_found:
            return what +
                   ": look under /dev/serial/by-id/ for the module's stable name, or set "
                   "SerialPort = auto to find it";
        case SerialOpenProblem::busy:
            return what + ": another program has the port open";
        case SerialOpenProblem::settings:
            return what + ": check SerialPort's line settings (38400,0,8,1,0 for Velbus)";
        case SerialOpenProblem::none:
        case SerialOpenProblem::other:
            break;
    }
    return what;
}

void show_link_lost(Gateway& gw, const PassTime& t) {
    show_notice(gw, t.date, "- serial -",
                "Serial port " + gw.serial.port_name() + " lost, trying again every 2 seconds",
                lost_link_colour, true);
}

// The interface module found by a search: a row, a line on standard error and
// the status field name the device.
void show_module_found(Gateway& gw, Date now) {
    const std::string text = "Velbus interface module found on " + gw.serial.port_name();
    show_notice(gw, now, "- serial -", text, link_back_colour, false);
    gw.log.log_line(text);
}

// Said once, when the first search finds nothing that opens.
void show_still_looking(Gateway& gw, Date now) {
    std::string text;
    if (gw.serial.unopened().empty()) {
        text = "No Velbus interface module found, looking again every 2 seconds";
    } else {
        text = "No Velbus interface module could be opened (tried ";
        for (std::size_t k = 0; k < gw.serial.unopened().size(); ++k)
            text += (k == 0 ? "" : ", ") + gw.serial.unopened()[k];
        text += "), trying again every 2 seconds";
    }
    show_notice(gw, now, "- serial -", text, lost_link_colour, true);
    gw.log.log_line(text);
}

void show_module_flow(Gateway& gw) {
    switch (gw.bus_bound.module_flow()) {
        case ModuleFlow::buffer_full:
            gw.view.set_status_field(StatusField::serial, "Velbus buffer full");
            break;
        case ModuleFlow::bus_off:
            gw.view.set_status_field(StatusField::serial, "Velbus bus off");
            break;
        case ModuleFlow::accepting:
            gw.view.set_status_field(StatusField::serial, "Velbus serial " + gw.serial.port_name());
            break;
    }
}

// Writes at most one bus-bound frame to the serial port; a frame the link
// cannot take goes to the pass's record, to be reported once the pass has
// shown what came, so that its row follows the frame's own.
void transmit_step(Gateway& gw, PassArrivals& in) {
    // The pacing counts from the moment of the write itself, which the work
    // of a busy pass may have moved on from the pass's start.
    const std::int64_t now = gw.clock.now_us();
    if (!gw.bus_bound.due(now)) return;
    std::optional<QueueEntry> entry = gw.bus_bound.take(now);
    if (!entry) return;
    if (entry->other_source == OtherSource::mqtt) --gw.mqtt.waiting_for_bus;
    if (!entry->from_bus() && gw.clients.frame_left(entry->sender, now / 1000))
        gw.network.set_reading_paused(entry->sender, false);
    if (gw.serial.write(entry->bytes, now / 1000, in.link_lost_on_write)) {
        gw.bus_bound.count_written(entry->bytes.size());
        ++gw.counters.written_frames;
        gw.counters.written_bytes += entry->bytes.size();
    } else {
        in.unsent = std::move(entry);
    }
}

void refresh_figures(Gateway& gw, const PassTime& t) {
    gw.statistics.refresh(t.ms, gw.serial.take_received_bytes(), gw.bus_bound.take_written_bytes(),
                          gw.view, gw.watcher);
    gw.statistics.refresh_uptime(t.date, gw.view);
    expire_analyzers(gw, t);
    show_analyzer_count(gw);
    publish_mqtt_health(gw);
}

}  // namespace

StartOutcome start_gateway(Gateway& gw) {
    gw.net_bound = NetBoundQueue{};
    gw.clients.clear();

    if (!gw.network.initialise()) {
        gw.dialogs.message_box("Network Error", "Not ABLE To FOUND ETHERNET HARDWARE",
                               MessageIcon::error);
        return StartOutcome::network_failed;
    }

    SettingsRead read = read_settings_file(gw);
    if (!read.settings && !read.missing) {
        std::string text =
            "Can't read the settings file " + gw.setup.settings_file.string() + ": " + read.problem;
        if (read.permission_denied)
            text +=
                "|The account that runs Quillon must be able to read it: for the service, "
                "sudo chown root:quillon " +
                gw.setup.settings_file.string() + " && sudo chmod 640 " +
                gw.setup.settings_file.string();
        gw.dialogs.message_box("Settings Error", text, MessageIcon::error);
        return StartOutcome::settings_unreadable;
    }
    if (!read.settings) {
        gw.dialogs.message_box(
            "Quillon.ini NOT FOUND",
            "Quillon.ini NOT FOUND : please enter settings (port=8080, serial=COM1)",
            MessageIcon::information);
        switch (first_configuration(gw)) {
            case FirstConfigurationAnswer::Action::ok:
                break;
            case FirstConfigurationAnswer::Action::quit:
                return StartOutcome::configuration_quit;
            case FirstConfigurationAnswer::Action::unavailable:
                // No one to ask (a service): a template to start with, if it can be written.
                if (!gw.files.write_whole(gw.setup.settings_file.string(),
                                          service_settings_template()))
                    return StartOutcome::configuration_unavailable;
                gw.dialogs.message_box("Quillon.ini NOT FOUND",
                                       "Wrote " + gw.setup.settings_file.string() +
                                           " with SerialPort = auto and IPPort = 8080; starting "
                                           "with it",
                                       MessageIcon::information);
                read = read_settings_file(gw);
                break;
        }
    }
    const Settings& s = gw.settings;
    gw.debug_log.set_directory(gw.setup.data_directory.string());

    gw.view.create_main_window();
    journal_version(gw);
    show_settings_warnings(gw, read, gw.clock.local_date());
    gw.view.set_status_field(StatusField::ethernet, ethernet_status(s));

    gw.serial.configure(s.serial, s.rs_module(), gw.setup.serial_devices);
    if (s.clock_sync) gw.bus_clock.send_soon();  // once the link is up
    if (gw.serial.open()) {
        if (gw.serial.searches()) show_module_found(gw, gw.clock.local_date());
    } else if (gw.serial.searches()) {
        // The module may be plugged in later: the gateway serves its clients meanwhile.
        gw.serial.lose(gw.clock.now_ms());
        show_still_looking(gw, gw.clock.local_date());
    } else {
        gw.dialogs.message_box("Serial Error",
                               "Error : Not able To communicate With " + s.serial.name + "|" +
                                   serial_problem(s.serial.name, gw.serial.open_error()),
                               MessageIcon::error);
        return StartOutcome::serial_failed;
    }

    gw.view.set_status_field(StatusField::serial, "Velbus serial " + gw.serial.port_name());
    gw.view.set_title(std::string("Quillon ") + version_text);
    const std::int64_t now = gw.clock.now_ms();
    gw.loop.last_purge_ms = now;
    gw.serial.start_watch(now);

    if (!open_servers(gw)) {
        shutdown(gw);
        return StartOutcome::tcp_server_failed;
    }

    gw.statistics.start(now, gw.clock.local_date());
    gw.loop.running = true;
    journal_start(gw);
    start_mqtt(gw);
    return StartOutcome::running;
}

namespace {

void show_link_back(Gateway& gw, const PassTime& t) {
    ++gw.counters.serial_reconnects;
    if (gw.settings.clock_sync) gw.bus_clock.send_soon();
    if (gw.serial.searches()) {
        show_module_found(gw, t.date);
        show_module_flow(gw);
    } else {
        show_notice(gw, t.date, "- serial -",
                    "Serial port " + gw.serial.port_name() + " open again", link_back_colour,
                    false);
    }
}

// The modules' clocks, when they are due: three frames for the bus, paced
// like a client's, whose echo copies go to the clients and whose rows say
// they came from the gateway's clock.
void set_bus_clock(Gateway& gw, const PassTime& t, PassArrivals& in) {
    if (gw.serial.state() != LinkState::open) return;
    if (!gw.bus_clock.due(t.date, gw.clock.daylight_saving())) return;
    // Asked for once by the operator, without ClockSync: not again on the hour.
    if (!gw.settings.clock_sync) gw.bus_clock = BusClockSchedule{};
    for (std::vector<std::uint8_t>& frame : bus_clock_frames(t.date, gw.clock.daylight_saving())) {
        QueueEntry entry{std::move(frame), FrameStatus::valid, t.stamp, 0, 0, OtherSource::clock};
        QueueEntry echo = entry;
        echo.status = FrameStatus::echo_copy;
        gw.net_bound.push(std::move(echo));
        in.from_clock.push_back(entry);
        gw.bus_bound.push(std::move(entry));
    }
}

// Every network event waiting, up to a bound: a crowd of connections costs a
// few passes, and the client list is drawn once for each.
void take_network_events(Gateway& gw, const PassTime& t, PassArrivals& in) {
    for (int k = 0; k < max_network_events_per_pass; ++k) {
        const NetworkEvent e = gw.network.poll();
        if (e.code == NetworkEventCode::none) break;
        handle_network_event(gw, e, t, in.from_clients);
    }
}

// What the module delivered: counted, read for the module's flow control,
// and queued for the clients.
void take_bus_frames(Gateway& gw, const PassTime& t, PassArrivals& in) {
    const SerialLink::Received received = gw.serial.receive(t.ms, t.stamp, in.from_bus);
    if (received.lost) show_link_lost(gw, t);
    gw.view.set_status_field(StatusField::bus_frames, "V:" + std::to_string(received.frames));
    gw.loop.bus_frames_field_due_ms = received.frames > 0
                                          ? t.ms + bus_frames_field_hold_ms
                                          : std::numeric_limits<std::int64_t>::max();
    for (const QueueEntry& e : in.from_bus) {
        gw.counters.from_bus.count(e);
        if (e.status == FrameStatus::valid)
            in.module_flow_changed |= gw.bus_bound.note_module_frame(e.bytes, t.ms);
        gw.net_bound.push(e);
    }
    in.module_flow_changed |= gw.bus_bound.end_stale_hold(t.ms);
}

// Input: the serial port back, the network's events, the pieces and keys
// whose time ran out, and what the bus delivered.
void take_input(Gateway& gw, const PassTime& t, PassArrivals& in) {
    if (gw.statistics.due(t.ms)) refresh_figures(gw, t);
    if (gw.serial.retry(t.ms)) show_link_back(gw, t);
    take_network_events(gw, t, in);
    take_mqtt(gw, t, in);
    set_bus_clock(gw, t, in);
    give_up_stale_pieces(gw, t, in.from_clients);
    refuse_late_keys(gw, t);
    tick_refusals(gw, t);
    tick_journal(gw, t);
    take_bus_frames(gw, t, in);
}

// The bus and the clients get their frames before anything is described and
// drawn. The spacing of each counts from the moment of its write.
void hand_on_frames(Gateway& gw, const PassTime& t, PassArrivals& in) {
    transmit_step(gw, in);
    for (ConnectionHandle h :
         distribute_due(gw.net_bound, gw.clients, gw.network, gw.clock.now_us()))
        drop_client(gw, h, t);
}

// Showing: a row, a debug log line and an analyzer line for each frame that
// came, then what befell the write and the module's word.
void show_arrivals(Gateway& gw, const PassTime& t, const PassArrivals& in) {
    publish_frames(gw, in.from_bus);
    publish_frames(gw, in.from_clients);
    publish_frames(gw, in.from_mqtt);
    publish_frames(gw, in.from_clock);
    for (const QueueEntry& e : in.from_clients)
        gw.counters.from_clients.count(e);
    if (gw.serial.silence_begins(t.ms))
        show_notice(gw, t.date, "- timeout -", "No communication with Velbus", silence_colour,
                    true);
    if (in.link_lost_on_write) show_link_lost(gw, t);
    if (in.unsent)
        publish_report(gw, report_unsent_frame(*in.unsent, t.stamp, sender_label(gw, *in.unsent)));
    if (in.module_flow_changed) show_module_flow(gw);
}

void housekeeping(Gateway& gw, const PassTime& t) {
    if (t.ms - gw.loop.last_purge_ms > purge_period_ms) {
        gw.loop.last_purge_ms = t.ms;
        purge_clients(gw, t);
    }
    draw_clients_if_changed(gw);
    flush_mqtt(gw);
}

}  // namespace

bool run_pass(Gateway& gw) {
    const OperatorEvent event = gw.wait.wait_event(event_wait_timeout(gw, gw.clock.now_us()));
    const PassTime t = pass_time(gw.clock);
    if (event.kind == OperatorEventKind::control) {
        on_control_event(gw, event, t);
        if (!gw.loop.running) return false;
    }
    if (event.kind == OperatorEventKind::request) reply_to_request(gw, event);
    PassArrivals arrivals;
    take_input(gw, t, arrivals);
    hand_on_frames(gw, t, arrivals);
    show_arrivals(gw, t, arrivals);
    housekeeping(gw, t);
    if (event.kind == OperatorEventKind::reload) reload_settings(gw, t.date);
    gw.watcher.pass_done();
    if (event.kind == OperatorEventKind::close) shutdown(gw);
    return gw.loop.running;
}

void reload_settings(Gateway& gw, Date now) {
    constexpr Rgb reload_colour{20, 20, 160};
    if (gw.setup.settings_text) return;  // the demo has no file
    const std::string file = gw.setup.settings_file.string();
    const SettingsRead read = settings_from_file(gw);
    if (!read.settings) {
        show_notice(gw, now, "- settings -",
                    "Can't read " + file + ": " + (read.missing ? "not found" : read.problem) +
                        "; nothing changed",
                    lost_link_colour, false);
        return;
    }
    show_settings_warnings(gw, read, now);
    Settings fresh = *read.settings;
    Settings& s = gw.settings;
    // A half-written or cut file must not open the gateway to everyone.
    if (fresh.auth_key.empty() && !s.auth_key.empty()) {
        show_notice(
            gw, now, "- settings -",
            "AuthKey missing from " + file + ": the key in force stays until the next start",
            lost_link_colour, false);
        fresh.auth_key = s.auth_key;
    }
    std::string applied;
    if (fresh.auth_key != s.auth_key) {
        s.auth_key = fresh.auth_key;
        gw.admission.set_key(s.auth_key);
        if (gw.servers.outlet) gw.setup.outlet->set_key(s.auth_key);
        applied = "AuthKey applied to new connections";
    }
    std::string restart;
    const auto differs = [&restart](bool changed, const char* key) {
        if (changed) restart += std::string(restart.empty() ? "" : ", ") + key;
    };
    differs(fresh.tcp_port != s.tcp_port, "IPPort");
    differs(fresh.tls_port != s.tls_port, "TLSPort");
    differs(fresh.tls_certificate != s.tls_certificate, "TLSCertificate");
    differs(fresh.tls_private_key != s.tls_private_key, "TLSPrivateKey");
    differs(fresh.listen != s.listen, "Listen");
    differs(fresh.web_port != s.web_port, "WebPort");
    differs(fresh.web_origins != s.web_origins, "WebOrigin");
    differs(fresh.analyzer_port_setting != s.analyzer_port_setting, "AnalyzerPort");
    differs(fresh.serial_settings != s.serial_settings, "SerialPort");
    differs(fresh.rs_module() != s.rs_module(), "SerialType");
    differs(fresh.clock_sync != s.clock_sync, "ClockSync");
    differs(!(fresh.mqtt == s.mqtt), "the Mqtt settings");
    std::string text = "Settings read again from " + file + ": ";
    if (applied.empty() && restart.empty()) text += "nothing changed";
    text += applied;
    if (!restart.empty())
        text += (applied.empty() ? "" : "; ") + restart + " changed, applied at the next start";
    show_notice(gw, now, "- settings -", text, reload_colour, false);
}

void run_main_loop(Gateway& gw) {
    while (gw.loop.running && run_pass(gw)) {
    }
}

}  // namespace quillon
