#pragma once

#include <QObject>
#include <cstdio>
#include <deque>
#include <memory>
#include <optional>
#include <string>

#include "platform/qt/event_waiter.hpp"
#include "ui/operator_view.hpp"

class QSocketNotifier;

namespace quillon {

// The operator console of a gateway without a window: rows on standard
// output, message boxes on standard error, the window's controls as commands
// read from standard input.
class ConsoleView : public OperatorView {
  public:
    struct Options {
        std::FILE* out = stdout;
        std::FILE* err = stderr;
        int input_fd = 0;  // -1: no commands
        bool colour = false;
        bool terminal = false;  // may ask the first-configuration questions
        std::string user_guide_path;
    };

    ConsoleView(EventWaiter& waiter, Options options);
    ~ConsoleView() override;

    // Ends the gateway as the window's close button would (SIGINT, SIGTERM).
    void request_close();

    void create_main_window() override;
    void set_title(std::string_view title) override;
    void traffic_insert_top(const TrafficRow& row) override;
    void traffic_remove(int) override {}
    void traffic_clear() override;
    void show_clients(const std::vector<ClientRow>& rows) override;
    int selected_client_row() override { return selected_row_; }
    void set_status_field(int field, std::string_view text) override;
    void set_rate_field(int control, std::string_view text) override;
    void show_graph(int, const RgbImage&) override {}
    bool filter_on() override { return filter_on_; }
    bool filter_inverted() override { return inverted_; }
    std::string filter_text() override { return filter_; }
    bool delay_ticked() override { return delay_; }
    bool debug_ticked() override { return debug_; }
    void message_box(std::string_view title, std::string_view text, MessageIcon icon) override;
    bool ask_yes_no(std::string_view title, std::string_view text) override;
    void open_user_guide() override;
    WindowEvent wait_event(std::int32_t timeout_ms) override;
    FirstConfigurationAnswer wait_first_configuration() override;
    void close_first_configuration() override {}

    // One command line, as typed; exposed for tests.
    void handle_command(const std::string& line);

  private:
    void read_input();
    std::optional<std::string> read_answer();
    void print(std::FILE* f, const std::string& text);

    EventWaiter& waiter_;
    Options options_;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::string input_;
    std::deque<WindowEvent> events_;
    std::vector<ClientRow> clients_;
    std::string status_[7];
    std::string rates_[2];
    int selected_row_ = -1;
    int input_flags_ = -1;  // the input's file status flags before the console changed them
    bool filter_on_ = false;
    bool inverted_ = false;
    std::string filter_;
    bool delay_ = true;
    bool debug_ = false;
};

}  // namespace quillon
