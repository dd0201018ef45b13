#pragma once

#include <deque>
#include <memory>
#include <string>

#include "ui/operator_input.hpp"
#include "ui/operator_log.hpp"
#include "ui/operator_view.hpp"

class QWidget;

namespace quillon {

class OperatorEventQueue;
class FirstConfigurationDialog;
class MainWindow;

// The operator's window on Qt Widgets: window 0 with its controls, the
// first-configuration dialog (window 1) and the message boxes. Every use of a
// control is posted as an event with the control's state, so the loop's wait
// ends at once. Needs a QApplication.
class QtWindowView final : public OperatorView, public OperatorDialogs, public OperatorLog {
  public:
    // user_guide_path: the file that the "?" button opens.
    QtWindowView(OperatorEventQueue& events, std::string user_guide_path);
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

    void set_status_field(StatusField field, std::string_view text) override;
    void set_rate_field(Control field, std::string_view text) override;
    void show_graph(Control graph, const RgbImage& image) override;
    void set_control_checked(Control control, bool checked) override;
    void open_user_guide() override;

    void message_box(std::string_view title, std::string_view text, MessageIcon icon) override;
    bool ask_yes_no(std::string_view title, std::string_view text) override;
    FirstConfigurationAnswer ask_first_configuration() override;
    void close_first_configuration() override;

    void log_line(std::string_view text) override;
    void journal(std::string_view text) override { log_line(text); }

  private:
    // The window in front, which owns the message boxes.
    QWidget* front_window() const;

    std::string user_guide_path_;
    std::unique_ptr<MainWindow> window_;
    std::unique_ptr<FirstConfigurationDialog> dialog_;
};

}  // namespace quillon
