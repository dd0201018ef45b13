#pragma once

#include <array>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/qt/operator_events.hpp"
#include "platform/qt/terminal_input.hpp"
#include "ui/operator_input.hpp"
#include "ui/operator_log.hpp"
#include "ui/operator_view.hpp"

namespace quillon {

// The operator console of a gateway without a window: rows on standard
// output, message boxes on standard error, the window's controls as commands
// read from standard input, which become the same events as the window's.
class ConsoleView final : public OperatorView, public OperatorDialogs, public OperatorLog {
  public:
    struct Options {
        std::FILE* out = stdout;
        std::FILE* err = stderr;
        int input_fd = 0;  // -1: no commands
        bool colour = false;
        bool terminal = false;  // may ask the first-configuration questions
        bool traffic = true;    // every row on `out`; off, a busy bus would flood a journal
        // Notices (lost and found serial link, refusals, bus off) as one line
        // each on `err` too, where a service's messages are read.
        bool notices_to_err = false;
        std::string user_guide_path;
    };

    ConsoleView(OperatorEventQueue& events, Options options);

    void create_main_window() override;
    void set_title(std::string_view title) override;
    void traffic_insert_top(const TrafficRow& row) override;
    void traffic_remove(int) override {}
    void traffic_clear() override;
    void show_clients(const std::vector<ClientRow>& rows) override;
    void set_status_field(StatusField field, std::string_view text) override;
    void set_rate_field(Control field, std::string_view text) override;
    void show_graph(Control, const RgbImage&) override {}
    bool shows_graphs() const override { return false; }
    void set_control_checked(Control, bool) override {}  // no check boxes to show
    void open_user_guide() override;

    void message_box(std::string_view title, std::string_view text, MessageIcon icon) override;
    bool ask_yes_no(std::string_view title, std::string_view text) override;
    FirstConfigurationAnswer ask_first_configuration() override;
    void close_first_configuration() override {}

    void log_line(std::string_view text) override;
    void journal(std::string_view text) override;

    // One command line, as typed.
    void handle_command(const std::string& line);

  private:
    void print(std::FILE* f, const std::string& text);
    void post_checked(Control control, bool checked);

    OperatorEventQueue& events_;
    Options options_;
    std::unique_ptr<TerminalInput> input_;
    std::vector<ClientRow> clients_;
    std::array<std::string, status_field_count> status_;
    std::string rates_[2];
};

}  // namespace quillon
