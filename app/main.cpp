// quillon: the Velbus gateway, with its operator window or headless.
#include <QCoreApplication>
#include <QFileInfo>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <sys/stat.h>

#include "app/connection_info.hpp"
#include "base/time_limit_scale.hpp"
#include "base/version.hpp"
#include "core/gateway.hpp"
#include "core/gateway_loop.hpp"
#include "core/settings.hpp"
#include "platform/console/console_view.hpp"
#include "platform/mqtt/mqtt_plugin.hpp"
#include "platform/openssl/certificate_maker.hpp"
#include "platform/posix/posix_files.hpp"
#include "platform/posix/program_files.hpp"
#include "platform/posix/service_notify.hpp"
#include "platform/posix/simulator_process.hpp"
#include "platform/qt/event_waiter.hpp"
#include "platform/qt/operator_events.hpp"
#include "platform/qt/qt_network.hpp"
#include "platform/qt/qt_serial_device_finder.hpp"
#include "platform/qt/qt_serial_port.hpp"
#include "platform/qt/stop_signals.hpp"
#include "platform/qt/system_clock.hpp"
#include "platform/qt/terminal_input.hpp"
#include "platform/web/web_plugin.hpp"
#include "ui/view_fan_out.hpp"
#include "ui/web/web_monitor_view.hpp"

#ifdef QUILLON_WITH_WINDOW
#include <QApplication>

#include "platform/window/qt_window_view.hpp"
#endif

namespace {

using namespace quillon;

// The usage text, with the program's own name (quillon or quillon-window).
std::string usage_text(const std::string& name) {
    const std::string indent(name.size(), ' ');
    return "Usage: " + name + " [--headless] [--config FILE] [--data-dir DIR] [--log-traffic]\n" +
           "       " + indent + " [--listen ADDRESS] [--demo] [--port N]\n" + "       " + name +
           " --connection-info [--config FILE] [--data-dir DIR]\n" +
           "\n"
           "A gateway between a Velbus bus and the network, with a live bus monitor.\n"
           "\n"
           "  --config FILE      the settings file (default: Quillon.ini in the working\n"
           "                     directory); without it and without a terminal, a template\n"
           "                     is written there and used\n"
           "  --data-dir DIR     where saved lists, the debug log and a self-signed TLS\n"
           "                     certificate go (default: the settings file's folder)\n"
           "  --headless         no window: traffic rows on standard output, messages on\n"
           "                     standard error, commands on standard input (type help)\n"
           "  --log-traffic      traffic rows on standard output even when it is not a\n"
           "                     terminal (a service's journal gets only the messages)\n"
           "  --demo             run on the built-in bus simulator with default settings;\n"
           "                     no settings file is read or written\n"
           "  --port N           the TCP port of the demo (default 8080; analyzers use N+1)\n"
           "  --listen ADDRESS   listen on this local address only, over the settings'\n"
           "                     Listen (default: all); repeat it or give a comma list\n"
           "  --connection-info  print what clients need to connect (the Home Assistant\n"
           "                     connection strings with the key, the web monitor's\n"
           "                     address, the certificate's fingerprint) and end; without\n"
           "                     --config and without Quillon.ini here, the service's\n"
           "                     /etc/quillon/Quillon.ini\n"
           "  --help             this text\n"
           "  --version          the version\n"
           "\n"
           "Every setting is described in the manual page (man " +
           name +
           ") and in the user\n"
           "guide, /usr/share/doc/quillon/user-guide.md.\n";
}

// The program's name as it was started, for its messages.
std::string program_name(const char* argv0) {
    const std::string path = argv0 != nullptr ? argv0 : "quillon";
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

struct Options {
    bool headless = false;
    bool demo = false;
    int demo_port = 8080;
    std::optional<std::vector<std::string>> listen;
    std::string config;    // empty: Quillon.ini in the working directory
    std::string data_dir;  // empty: the settings file's folder
    bool log_traffic = false;
};

// The TLS server's self-signed certificate, for this machine.
class MachineCertificateMaker : public CertificateMaker {
  public:
    bool make_self_signed(const std::string& certificate_path, const std::string& key_path,
                          std::string& error) override {
        return make_self_signed_certificate(certificate_path, key_path, machine_host_name(), error);
    }
    std::string fingerprint(const std::string& certificate_path) override {
        return certificate_fingerprint(certificate_path);
    }
};

bool has_display() {
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform != nullptr && *platform != '\0') return true;
    return std::getenv("DISPLAY") != nullptr || std::getenv("WAYLAND_DISPLAY") != nullptr;
}

std::string user_guide_path(const QString& program_dir) {
    for (const QString& candidate :
         {program_dir + "/../share/doc/quillon/user-guide.md",
          program_dir + "/../../docs/user-guide.md", program_dir + "/../docs/user-guide.md"}) {
        if (QFileInfo::exists(candidate))
            return QFileInfo(candidate).canonicalFilePath().toStdString();
    }
    return (program_dir + "/../share/doc/quillon/user-guide.md").toStdString();
}

int exit_status(StartOutcome outcome, bool headless) {
    if (outcome == StartOutcome::running || outcome == StartOutcome::configuration_quit) return 0;
    // The window reports its failures in message boxes and ends quietly; a
    // headless gateway tells its supervisor.
    return headless ? 1 : 0;
}

// The window, or the console when there is none (or the gateway runs headless).
struct FrontView {
    std::unique_ptr<OperatorView> view;
    OperatorDialogs* dialogs = nullptr;
    OperatorLog* log = nullptr;
};

FrontView make_front_view(const Options& options, bool windowed, const QString& program_dir,
                          OperatorEventQueue& events) {
    FrontView front;
#ifdef QUILLON_WITH_WINDOW
    if (windowed) {
        auto window = std::make_unique<QtWindowView>(events, user_guide_path(program_dir));
        front.dialogs = window.get();
        front.log = window.get();
        front.view = std::move(window);
        return front;
    }
#else
    (void)windowed;
#endif
    ConsoleView::Options console;
    console.colour = is_terminal(1);
    console.terminal = is_terminal(0) && is_terminal(2);
    console.traffic = is_terminal(1) || options.log_traffic;
    console.notices_to_err = !is_terminal(1);
    console.user_guide_path = user_guide_path(program_dir);
    auto console_view = std::make_unique<ConsoleView>(events, console);
    front.dialogs = console_view.get();
    front.log = console_view.get();
    front.view = std::move(console_view);
    return front;
}

// The settings file and the folder for what the gateway writes; false (said
// on standard error) when a data folder that was named can't be used.
bool place_files(GatewaySetup& setup, const Options& options) {
    namespace fs = std::filesystem;
    setup.settings_file = fs::absolute(options.config.empty() ? fs::path(settings_file_name)
                                                              : fs::path(options.config));
    setup.data_directory =
        options.data_dir.empty() ? setup.settings_folder() : fs::absolute(options.data_dir);
    if (options.demo || options.data_dir.empty()) return true;
    std::error_code error;
    fs::create_directories(setup.data_directory, error);
    if (fs::is_directory(setup.data_directory)) return true;
    std::fprintf(stderr, "quillon: can't use the data folder %s: %s\n",
                 setup.data_directory.c_str(), error ? error.message().c_str() : "not a folder");
    return false;
}

// The demo: the bus simulator beside the program, and settings that name its
// port; false (said on standard error) when it does not start.
bool start_demo(GatewaySetup& setup, const Options& options, SimulatorProcess& simulator,
                const QString& program_dir) {
    std::string error;
    const std::string pty = simulator.start((program_dir + "/quillon-bussim").toStdString(), error);
    if (pty.empty()) {
        std::fprintf(stderr, "quillon: %s\n", error.c_str());
        return false;
    }
    std::fprintf(stderr, "Demo: the bus simulator is on %s; clients connect to TCP port %d\n",
                 pty.c_str(), options.demo_port);
    setup.settings_text = "IPPort = " + std::to_string(options.demo_port) +
                          "\r\nSerialPort = " + pty + ",38400,0,8,1,0\r\n";
    return true;
}

// The exit status of a gateway that did not start, with what a supervisor
// needs to hear when the settings could not be had.
int start_failed(const GatewaySetup& setup, StartOutcome outcome, bool headless) {
    if (outcome == StartOutcome::configuration_unavailable) {
        std::fprintf(
            stderr,
            "quillon: %s not found, there is no terminal to ask for the settings, and a\n"
            "template can't be written there. Create it (see the README), run quillon in a\n"
            "terminal, or try quillon --demo.\n",
            setup.settings_file.c_str());
    }
    return exit_status(outcome, headless);
}

// The limits on peers that have not proved themselves, shortened only when
// the program runs in its own tests (base/time_limit_scale.hpp).
WebServer::Options limit_peers(Admission& admission, QtNetwork& network) {
    const double scale = time_limit_scale(std::getenv(time_limit_scale_variable));
    admission.set_key_wait_limit_ms(scaled_limit_ms(key_wait_limit_ms, scale));
    network.set_handshake_limit_ms(scaled_limit_ms(TlsListener::handshake_limit_ms, scale));
    WebServer::Options web;
    web.request_head_ms = scaled_limit_ms(request_head_limit_ms, scale);
    web.http_idle_ms = scaled_limit_ms(http_idle_limit_ms, scale);
    web.browser_key_ms = scaled_limit_ms(browser_key_limit_ms, scale);
    web.tls_handshake_ms = scaled_limit_ms(TlsListener::handshake_limit_ms, scale);
    web.linger_ms = scaled_limit_ms(web.linger_ms, scale);
    return web;
}

// The servers listen: a service manager may start what depends on them.
// Unheard, it would give up on the start and stop the gateway.
void tell_service_ready(OperatorLog& log) {
    if (notify_service_manager("READY=1")) return;
    const char* socket = std::getenv("NOTIFY_SOCKET");
    log.journal("can't tell the service manager that Quillon is ready (NOTIFY_SOCKET " +
                std::string(socket != nullptr ? socket : "") + ")");
}

int run(const Options& options, bool windowed, const QString& program_dir) {
    EventWaiter waiter;
    OperatorEventQueue events(waiter);
    SystemClock clock;
    QtSerialPort serial(waiter);
    QtSerialDeviceFinder serial_devices;
    QtNetwork network(waiter);
    MachineCertificateMaker certificates;
    PosixFiles files;
    SimulatorProcess simulator;
    const FrontView front = make_front_view(options, windowed, program_dir, events);
    // The browsers watch whatever the window or the console shows.
    WebMonitorView web_view;
    ViewFanOut views(*front.view, *front.dialogs, web_view);
    const StopSignals stop_signals([&events] { events.post_close(); },
                                   [&events] { events.post_reload(); });

    Gateway gw({clock, serial, network, views, views, events, views, *front.log, files});
    WebPlugin web({web_view, events, network, limit_peers(gw.admission, network)}, views,
                  web_plugin_path(program_dir.toStdString()));
    gw.setup.listen_override = options.listen;
    gw.setup.certificates = &certificates;
    gw.setup.serial_devices = &serial_devices;
    gw.setup.outlet = &web;
    MqttPlugin mqtt(waiter, mqtt_plugin_path(program_dir.toStdString()));
    gw.setup.broker = &mqtt;
    gw.setup.host_name = machine_host_name();
    if (!place_files(gw.setup, options)) return 1;
    if (options.demo && !start_demo(gw.setup, options, simulator, program_dir)) return 1;

    const StartOutcome outcome = start_gateway(gw);
    if (outcome != StartOutcome::running) return start_failed(gw.setup, outcome, !windowed);
    tell_service_ready(gw.log);
    run_main_loop(gw);
    // Unheard, the end of the process says it as well.
    (void)notify_service_manager("STOPPING=1");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string name = program_name(argv[0]);
    // What the gateway writes (saved lists, the debug log, its data folder, a
    // certificate) is for its own account and group only, however it runs.
    ::umask(027);
    Options options;
    bool connection_info = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        // The value an option needs, or nothing (said on standard error).
        const auto value = [&](const char* what) -> std::optional<std::string> {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s: %s needs %s\n", name.c_str(), argv[i], what);
                return std::nullopt;
            }
            return std::string(argv[++i]);
        };
        if (arg == "--help" || arg == "-h") {
            std::fputs(usage_text(name).c_str(), stdout);
            return 0;
        } else if (arg == "--version") {
            std::printf("%s %s\n", name.c_str(), version_text);
            return 0;
        } else if (arg == "--headless") {
            options.headless = true;
        } else if (arg == "--demo") {
            options.demo = true;
        } else if (arg == "--connection-info") {
            connection_info = true;
        } else if (arg == "--port") {
            const std::optional<std::string> port = value("a number");
            if (!port) return 2;
            const int n = settings_integer(*port);
            if (port->empty() || port->find_first_not_of("0123456789") != std::string::npos ||
                n < 1 || n > 65535) {
                std::fprintf(stderr, "%s: --port needs a number from 1 to 65535, not \"%s\"\n",
                             name.c_str(), port->c_str());
                return 2;
            }
            options.demo_port = n;
        } else if (arg == "--config") {
            const std::optional<std::string> file = value("a file");
            if (!file) return 2;
            options.config = *file;
        } else if (arg == "--data-dir") {
            const std::optional<std::string> folder = value("a folder");
            if (!folder) return 2;
            options.data_dir = *folder;
        } else if (arg == "--log-traffic") {
            options.log_traffic = true;
        } else if (arg == "--listen") {
            const std::optional<std::string> addresses = value("an address");
            if (!addresses) return 2;
            if (!options.listen) options.listen.emplace();
            for (std::string& address : address_list(*addresses))
                options.listen->push_back(std::move(address));
        } else {
            std::fprintf(stderr, "%s: unknown argument \"%s\"\n\n%s", name.c_str(), argv[i],
                         usage_text(name).c_str());
            return 2;
        }
    }
    if (connection_info) return print_connection_info(options.config, options.data_dir);

    bool windowed = false;
#ifdef QUILLON_WITH_WINDOW
    windowed = !options.headless && has_display();
    if (!options.headless && !windowed)
        std::fputs("quillon: no display, running headless\n", stderr);
    if (windowed) {
        QApplication app(argc, argv);
        return run(options, true, QCoreApplication::applicationDirPath());
    }
#else
    // The headless program loads no Qt Gui or Widgets; the window has a
    // program of its own.
    if (!options.headless && has_display()) {
        run_instead(program_directory() + "/quillon-window", argv);
        std::fputs("quillon: quillon-window is missing beside quillon, running headless\n", stderr);
    } else if (!options.headless) {
        std::fputs("quillon: no display, running headless\n", stderr);
    }
#endif
    // Headless, Qt's own event dispatcher is enough: GLib's main loop would
    // only cost memory (a fifth of a megabyte).
    ::setenv("QT_NO_GLIB", "1", 0);
    QCoreApplication app(argc, argv);
    return run(options, windowed, QCoreApplication::applicationDirPath());
}
