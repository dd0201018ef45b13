#include "ui/console/console_view.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <sstream>

namespace quillon {
namespace {

const char* row_marker(int icon) {
    switch (icon) {
        case icon_bus_frame:
            return "<-  ";
        case icon_bus_frame_bad:
            return "<-! ";
        case icon_client_frame:
            return "->  ";
        case icon_client_frame_bad:
            return "->! ";
        default:
            return "--  ";
    }
}

std::string pad(const std::string& s, std::size_t width) {
    return s.size() >= width ? s : s + std::string(width - s.size(), ' ');
}

std::string colour_code(const Rgb& c, bool background) {
    return "\x1b[" + std::string(background ? "48" : "38") + ";2;" + std::to_string(c.r) + ";" +
           std::to_string(c.g) + ";" + std::to_string(c.b) + "m";
}

const char* help_text =
    "commands: clear | save | filter TEXT | filter off | invert on|off | debug on|off |\n"
    "          delay on|off | disconnect IP:PORT | disconnect-all | quit | status | clients | "
    "help\n";

}  // namespace

ConsoleView::ConsoleView(EventWaiter& waiter, Options options)
    : waiter_(waiter), options_(std::move(options)) {
    if (options_.input_fd >= 0) {
        input_flags_ = ::fcntl(options_.input_fd, F_GETFL);
        if (input_flags_ >= 0) ::fcntl(options_.input_fd, F_SETFL, input_flags_ | O_NONBLOCK);
        notifier_ = std::make_unique<QSocketNotifier>(options_.input_fd, QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { read_input(); });
    }
}

// The input is usually the shell's terminal, shared with it: it gets its
// blocking mode back.
ConsoleView::~ConsoleView() {
    notifier_.reset();
    if (options_.input_fd >= 0 && input_flags_ >= 0)
        ::fcntl(options_.input_fd, F_SETFL, input_flags_);
}

void ConsoleView::request_close() {
    events_.push_back({event_close, 0});
    waiter_.wake();
}

void ConsoleView::print(std::FILE* f, const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), f);
    std::fflush(f);
}

void ConsoleView::create_main_window() {
    if (options_.input_fd >= 0 && options_.terminal)
        print(options_.err, "Type \"help\" for the commands.\n");
}

void ConsoleView::set_title(std::string_view title) {
    print(options_.err, std::string(title) + "\n");
}

void ConsoleView::traffic_insert_top(const TrafficRow& row) {
    // The same texts as the traffic list's columns, one row a line.
    std::string line = std::string(row_marker(row.icon)) + pad(row.cells[1], 12) +
                       pad(row.cells[2], 43) + pad(row.cells[3], 3) + pad(row.cells[4], 3) +
                       row.cells[5];
    if (options_.colour)
        line = colour_code(row.colour, row.colour_is_background) + line + "\x1b[0m";
    print(options_.out, line + "\n");
}

void ConsoleView::traffic_clear() {
    print(options_.err, "traffic list cleared\n");
}

void ConsoleView::show_clients(const std::vector<ClientRow>& rows) {
    clients_ = rows;
    selected_row_ = -1;
}

void ConsoleView::set_status_field(int field, std::string_view text) {
    if (field >= 0 && field < 7) status_[field] = text;
}

void ConsoleView::set_rate_field(int control, std::string_view text) {
    rates_[control == control::rx_rate ? 0 : 1] = text;
}

void ConsoleView::message_box(std::string_view title, std::string_view text, MessageIcon) {
    print(options_.err, std::string(title) + ": " + std::string(text) + "\n");
}

bool ConsoleView::ask_yes_no(std::string_view title, std::string_view text) {
    // A typed "quit" is the answer already.
    print(options_.err, std::string(title) + ": " + std::string(text) + " yes\n");
    return true;
}

void ConsoleView::open_user_guide() {
    print(options_.err, "User guide: " + options_.user_guide_path + "\n");
}

WindowEvent ConsoleView::wait_event(std::int32_t timeout_ms) {
    bool input_ready = false;
    if (events_.empty()) input_ready = waiter_.wait(timeout_ms);
    if (events_.empty()) return {event_none, 0, input_ready};
    const WindowEvent e = events_.front();
    events_.pop_front();
    return e;
}

void ConsoleView::read_input() {
    char chunk[512];
    for (;;) {
        const ssize_t n = ::read(options_.input_fd, chunk, sizeof chunk);
        if (n > 0) {
            input_.append(chunk, static_cast<std::size_t>(n));
            continue;
        }
        if (n == 0) notifier_->setEnabled(false);  // end of input: the gateway keeps running
        break;
    }
    std::size_t end;
    while ((end = input_.find('\n')) != std::string::npos) {
        std::string line = input_.substr(0, end);
        input_.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        handle_command(line);
    }
    if (input_.size() > 4096) input_.clear();  // a line that long is no command
    if (!events_.empty()) waiter_.wake();
}

void ConsoleView::handle_command(const std::string& line) {
    std::istringstream in(line);
    std::string word;
    in >> word;
    std::string rest;
    std::getline(in, rest);
    if (const auto first = rest.find_first_not_of(' '); first != std::string::npos) {
        rest = rest.substr(first);
    } else {
        rest.clear();
    }
    const auto on_off = [&](bool& flag, int control_number) {
        if (rest != "on" && rest != "off") {
            print(options_.err, word + ": say on or off\n");
            return;
        }
        flag = rest == "on";
        events_.push_back({event_control, control_number});
    };

    if (word.empty()) return;
    if (word == "clear") {
        events_.push_back({event_control, control::clear});
    } else if (word == "save") {
        events_.push_back({event_control, control::save});
    } else if (word == "filter") {
        filter_on_ = rest != "off";
        if (filter_on_) filter_ = rest;
        events_.push_back({event_control, control::filter_toggle});
    } else if (word == "invert") {
        on_off(inverted_, control::invert_toggle);
    } else if (word == "debug") {
        on_off(debug_, control::debug_check);
    } else if (word == "delay") {
        on_off(delay_, control::delay_check);
    } else if (word == "disconnect") {
        // Selects the client's row the way the operator would, then presses the
        // button: the live client at that address and port, else an ended one,
        // for which the gateway answers as it does for an ended row.
        selected_row_ = -1;
        const auto colon = rest.rfind(':');
        if (colon != std::string::npos) {
            const std::string address = rest.substr(0, colon);
            const std::string port = rest.substr(colon + 1);
            for (std::size_t i = 0; i < clients_.size(); ++i) {
                const ClientRow& r = clients_[i];
                if (r.address != address || std::to_string(r.port) != port) continue;
                if (r.live || selected_row_ < 0) selected_row_ = static_cast<int>(i);
                if (r.live) break;
            }
        }
        events_.push_back({event_control, control::disconnect});
    } else if (word == "disconnect-all") {
        events_.push_back({event_control, control::disconnect_all});
    } else if (word == "quit") {
        events_.push_back({event_control, control::quit});
    } else if (word == "status") {
        std::string s;
        for (const auto& field : status_)
            s += field + "  ";
        print(options_.err, s + "RX " + rates_[0] + " bps  TX " + rates_[1] + " bps\n");
    } else if (word == "clients") {
        std::string s = clients_.empty() ? "no clients\n" : "";
        for (const ClientRow& r : clients_) {
            s += (r.icon == icon_client_live ? "live   " : "ended  ") + r.cells[1] + "  " +
                 r.cells[2] + "  " + r.cells[3] + "  errors " + r.cells[4] + "\n";
        }
        print(options_.err, s);
    } else if (word == "help") {
        print(options_.err, help_text);
    } else {
        print(options_.err, "unknown command \"" + word + "\"\n" + help_text);
    }
}

// One typed line; waits for it, although the input is non-blocking.
std::optional<std::string> ConsoleView::read_answer() {
    if (options_.input_fd < 0) return std::nullopt;
    for (;;) {
        const std::size_t end = input_.find('\n');
        if (end != std::string::npos) {
            std::string line = input_.substr(0, end);
            input_.erase(0, end + 1);
            return line;
        }
        pollfd p{options_.input_fd, POLLIN, 0};
        if (::poll(&p, 1, -1) < 0 && errno != EINTR) return std::nullopt;
        char chunk[256];
        const ssize_t n = ::read(options_.input_fd, chunk, sizeof chunk);
        if (n > 0) {
            input_.append(chunk, static_cast<std::size_t>(n));
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            return std::nullopt;  // end of input: the questions are not answered
        }
    }
}

FirstConfigurationAnswer ConsoleView::wait_first_configuration() {
    FirstConfigurationAnswer answer;
    if (!options_.terminal) {
        answer.action = FirstConfigurationAnswer::Action::unavailable;
        return answer;
    }
    const auto ask = [&](const std::string& question,
                         const std::string& fallback) -> std::optional<std::string> {
        print(options_.err, question + " [" + fallback + "]: ");
        std::optional<std::string> answered = read_answer();
        if (!answered) return std::nullopt;
        std::string line = std::move(*answered);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
            line.pop_back();
        return line.empty() ? fallback : line;
    };
    const auto serial = ask("Enter the serial port name (eg. COM4)", "/dev/ttyACM0");
    if (!serial) return answer;
    std::optional<std::string> port;
    for (;;) {
        port = ask("Enter the Ethernet port number(>1024)", "8080");
        if (!port) return answer;
        if (port->find_first_not_of("0123456789") == std::string::npos) break;
        print(options_.err, "digits only, please\n");
    }
    const auto module = ask("Module, USB or RS", "USB");
    if (!module) return answer;
    answer.action = FirstConfigurationAnswer::Action::ok;
    answer.serial_port_name = *serial;
    answer.port_text = *port;
    answer.rs_module = *module == "RS" || *module == "rs";
    return answer;
}

}  // namespace quillon
