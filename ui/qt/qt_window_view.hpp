#pragma once

#include <deque>
#include <memory>
#include <string>

#include "ui/operator_view.hpp"

class QWidget;

namespace quillon {

class EventWaiter;
class FirstConfigurationDialog;
class MainWindow;

// The operator's window on Qt Widgets: window 0 with its controls, the
// first-configuration dialog (window 1) and the message boxes. Every use of a
// control is queued as an event and wakes the waiter, so the loop's wait ends
// at once. Needs a QApplication.
class QtWindowView final : public OperatorView {
  public:
    // user_guide_path: the file that the "?" button opens.
    QtWindowView(EventWaiter& waiter, std::string user_guide_path);
    ~QtWindowView() override;
    QtWindowView(const QtWindowView&) = delete;
    QtWindowView& operator=(const QtWindowView&) = delete;

    // Window 0 (built at once, shown by create_main_window) and window 1
    // (nullptr while it is not open).
    QWidget* main_window() const;
    QWidget* first_configuration_window() const;

    void create_main_window() override;
    void set_title(std::string_view title) override;

    void traffic_insert_top(const TrafficRow& row) override;
    void traffic_remove(int row) override;
    void traffic_clear() override;
    void show_clients(const std::vector<ClientRow>& rows) override;
    int selected_client_row() override;

    void set_status_field(int field, std::string_view text) override;
    void set_rate_field(int control, std::string_view text) override;
    void show_graph(int control, const RgbImage& image) override;

    bool filter_on() override;
    bool filter_inverted() override;
    std::string filter_text() override;
    bool delay_ticked() override;
    bool debug_ticked() override;

    void message_box(std::string_view title, std::string_view text, MessageIcon icon) override;
    bool ask_yes_no(std::string_view title, std::string_view text) override;
    void open_user_guide() override;

    WindowEvent wait_event(std::int32_t timeout_ms) override;

    FirstConfigurationAnswer wait_first_configuration() override;
    void close_first_configuration() override;

    // Ends the gateway as the close button would (SIGINT, SIGTERM).
    void request_close() { report({event_close, 0}); }

  private:
    void report(WindowEvent event);

    // The window in front, which owns the message boxes.
    QWidget* front_window() const;

    EventWaiter& waiter_;
    std::string user_guide_path_;
    std::deque<WindowEvent> events_;
    std::unique_ptr<MainWindow> window_;
    std::unique_ptr<FirstConfigurationDialog> dialog_;
};

}  // namespace quillon
