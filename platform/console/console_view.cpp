#include "platform/console/console_view.hpp"

#include <sstream>

#include "ui/control_words.hpp"

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
    "          delay on|off | disconnect IP:PORT | disconnect-all | clock | quit | status |\n"
    "          clients | help\n";

}  // namespace

ConsoleView::ConsoleView(OperatorEventQueue& events, Options options)
    : events_(events), options_(std::move(options)) {
    if (options_.input_fd >= 0) {
        input_ = std::make_unique<TerminalInput>(
            options_.input_fd, [this](const std::string& line) { handle_command(line); });
    }
}

void ConsoleView::print(std::FILE* f, const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), f);
    std::fflush(f);
}

void ConsoleView::create_main_window() {
    if (options_.input_fd >= 0 && options_.terminal)
        print(options_.err, "Type \"help\" for the commands.\n");
}

void ConsoleView::set_title(std::string_view) {
    // The start-up summary names the version, with the settings in use.
}

void ConsoleView::traffic_insert_top(const TrafficRow& row) {
    if (row.icon == no_icon && options_.notices_to_err)
        print(options_.err,
              row.cell(TrafficColumn::hex) + " " + row.cell(TrafficColumn::source) + "\n");
    if (!options_.traffic) return;
    // The same texts as the traffic list's columns, one row a line.
    std::string line = std::string(row_marker(row.icon)) + pad(row.cell(TrafficColumn::time), 12) +
                       pad(row.cell(TrafficColumn::hex), 43) +
                       pad(row.cell(TrafficColumn::length), 3) +
                       pad(row.cell(TrafficColumn::checksum), 3) + row.cell(TrafficColumn::source);
    if (options_.colour)
        line = colour_code(row.colour, row.colour_is_background) + line + "\x1b[0m";
    print(options_.out, line + "\n");
}

void ConsoleView::traffic_clear() {
    print(options_.err, "traffic list cleared\n");
}

void ConsoleView::show_clients(const std::vector<ClientRow>& rows) {
    clients_ = rows;
}

void ConsoleView::set_status_field(StatusField field, std::string_view text) {
    const int number = number_of(field);
    if (number < 0 || number >= status_field_count) return;
    std::string& kept = status_[static_cast<std::size_t>(number)];
    if (field == StatusField::serial && options_.notices_to_err) {
        const bool was_off = kept.ends_with("bus off");
        const bool off = text.ends_with("bus off");
        if (off && !was_off) print(options_.err, "- serial - Velbus bus off\n");
        if (was_off && !off) print(options_.err, "- serial - Velbus bus active again\n");
    }
    kept = text;
}

void ConsoleView::set_rate_field(Control field, std::string_view text) {
    rates_[field == Control::rx_rate ? 0 : 1] = text;
}

void ConsoleView::message_box(std::string_view title, std::string_view text, MessageIcon) {
    print(options_.err, std::string(title) + ": " + std::string(text) + "\n");
}

void ConsoleView::log_line(std::string_view text) {
    // Where notices go to standard error already, their row said it.
    if (!options_.notices_to_err) print(options_.err, std::string(text) + "\n");
}

void ConsoleView::journal(std::string_view text) {
    print(options_.err, std::string(text) + "\n");
}

bool ConsoleView::ask_yes_no(std::string_view title, std::string_view text) {
    // A typed "quit" is the answer already.
    print(options_.err, std::string(title) + ": " + std::string(text) + " yes\n");
    return true;
}

void ConsoleView::open_user_guide() {
    print(options_.err, "User guide: " + options_.user_guide_path + "\n");
}

void ConsoleView::post_checked(Control control, bool checked) {
    OperatorEvent e = OperatorEvent::used(control);
    e.checked = checked;
    events_.post(std::move(e));
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
    const auto on_off = [&](Control control) {
        if (rest != "on" && rest != "off") {
            print(options_.err, word + ": say on or off\n");
            return;
        }
        post_checked(control, rest == "on");
    };

    if (word.empty()) return;
    const ControlWord* named = control_word(word);
    if (named != nullptr && named->use == ControlUse::text) {
        if (rest != "off") {
            OperatorEvent text = OperatorEvent::used(Control::filter_text);
            text.text = rest;
            events_.post(std::move(text));
        }
        post_checked(named->control, rest != "off");
    } else if (named != nullptr && named->use == ControlUse::check) {
        on_off(named->control);
    } else if (named != nullptr && named->control == Control::disconnect) {
        // The client's row, as the operator would select it, then the button:
        // the live client at that address and port, else an ended one, for
        // which the gateway answers as it does for an ended row.
        OperatorEvent e = OperatorEvent::used(Control::disconnect);
        const auto colon = rest.rfind(':');
        if (colon != std::string::npos) {
            const std::string address = rest.substr(0, colon);
            const std::string port = rest.substr(colon + 1);
            for (const ClientRow& r : clients_) {
                if (r.address != address || std::to_string(r.port) != port) continue;
                if (r.live || e.client == 0) e.client = r.client;
                if (r.live) break;
            }
        }
        events_.post(std::move(e));
    } else if (named != nullptr) {
        events_.post_control(named->control);
    } else if (word == "status") {
        std::string s;
        for (const auto& field : status_)
            s += field + "  ";
        print(options_.err, s + "RX " + rates_[0] + " bps  TX " + rates_[1] + " bps\n");
    } else if (word == "clients") {
        std::string s = clients_.empty() ? "no clients\n" : "";
        for (const ClientRow& r : clients_) {
            s += (r.icon == icon_client_live ? "live   " : "ended  ") +
                 r.cell(ClientColumn::address) + "  " + r.cell(ClientColumn::start) + "  " +
                 r.cell(ClientColumn::end) + "  errors " + r.cell(ClientColumn::errors) + "\n";
        }
        print(options_.err, s);
    } else if (word == "help") {
        print(options_.err, help_text);
    } else {
        print(options_.err, "unknown command \"" + word + "\"\n" + help_text);
    }
}

FirstConfigurationAnswer ConsoleView::ask_first_configuration() {
    FirstConfigurationAnswer answer;
    if (!options_.terminal) {
        answer.action = FirstConfigurationAnswer::Action::unavailable;
        return answer;
    }
    // An empty answer, like the end of the input, ends the questions and
    // nothing is written.
    const auto ask = [&](const std::string& question) -> std::optional<std::string> {
        print(options_.err, question + ": ");
        std::optional<std::string> answered = input_ ? input_->wait_line() : std::nullopt;
        if (!answered) return std::nullopt;
        std::string line = std::move(*answered);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
            line.pop_back();
        const auto first = line.find_first_not_of(' ');
        if (first == std::string::npos) return std::nullopt;
        return line.substr(first);
    };
    print(options_.err, "No settings yet: three questions make them (an empty answer quits).\n");
    const auto serial =
        ask("Serial port of the Velbus interface (for example /dev/ttyACM0, or auto to find it)");
    if (!serial) return answer;
    std::optional<std::string> port;
    for (;;) {
        port = ask("TCP port for clients (for example 8080)");
        if (!port) return answer;
        if (port->find_first_not_of("0123456789") == std::string::npos) break;
        print(options_.err, "digits only, please\n");
    }
    const auto module = ask("Module, USB or RS");
    if (!module) return answer;
    answer.action = FirstConfigurationAnswer::Action::ok;
    answer.serial_port_name = *serial;
    answer.port_text = *port;
    answer.rs_module = *module == "RS" || *module == "rs";
    return answer;
}

}  // namespace quillon
