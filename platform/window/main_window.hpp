#pragma once

#include <QImage>
#include <QLabel>
#include <QMainWindow>

#include <array>
#include <functional>
#include <map>
#include <vector>

#include "ui/operator_input.hpp"
#include "ui/view_types.hpp"

class QCheckBox;
class QLineEdit;
class QPushButton;
class QTreeWidget;

namespace quillon {

// A status bar field. A text longer than the field is shortened in the middle
// and shown whole as the tooltip; the layout still asks room for all of it.
class StatusLabel : public QLabel {
  public:
    using QLabel::QLabel;

    // An unchanged text costs nothing, not even a repaint.
    void show_text(const QString& text);

    QSize sizeHint() const override { return for_whole_text(QLabel::sizeHint()); }
    QSize minimumSizeHint() const override { return for_whole_text(QLabel::minimumSizeHint()); }

  protected:
    void resizeEvent(QResizeEvent* event) override;

  private:
    void fit();
    QSize for_whole_text(QSize shown_hint) const;

    QString whole_;
};

// Window 0: the traffic list, the client list, the bandwidth figures and
// graphs, the buttons and the status bar, at fixed places in its client area
// of 686 x 438. It shows what it is given and reports each use of a control;
// the gateway decides what the use means.
class MainWindow : public QMainWindow {
  public:
    using Report = std::function<void(OperatorEvent)>;
    // Where a client list row keeps the client it shows (0: none).
    static constexpr int client_role = Qt::UserRole;

    // icons: the row icons' pictures, index = icon number.
    MainWindow(const std::vector<QImage>& icons, Report report);

    // The widget of that control, nullptr for one the window does not have.
    QWidget* control(Control c) const;

    // The event of a use of that control, with the state it is in now.
    OperatorEvent control_event(Control c) const;

    QTreeWidget* traffic_list() const { return traffic_list_; }
    QTreeWidget* client_list() const { return client_list_; }
    QPushButton* filter_toggle() const { return filter_toggle_; }
    QPushButton* invert_toggle() const { return invert_toggle_; }
    QLineEdit* filter_field() const { return filter_field_; }
    QCheckBox* delay_check() const { return delay_check_; }
    QCheckBox* debug_check() const { return debug_check_; }
    StatusLabel* status_field(StatusField field) const;

    // The row icon of that number; a null icon for no_icon or an unknown number.
    QIcon row_icon(int icon) const;

  protected:
    // The close button ends the gateway after the pass that sees it, so the
    // window does not close here.
    void closeEvent(QCloseEvent* event) override;

  private:
    void build_controls();
    void build_status_bar();

    Report report_;
    std::vector<QIcon> icons_;
    std::map<int, QWidget*> controls_;  // by number, captions too
    std::array<StatusLabel*, status_field_count> status_fields_{};
    QTreeWidget* traffic_list_ = nullptr;
    QTreeWidget* client_list_ = nullptr;
    QPushButton* filter_toggle_ = nullptr;
    QPushButton* invert_toggle_ = nullptr;
    QLineEdit* filter_field_ = nullptr;
    QCheckBox* delay_check_ = nullptr;
    QCheckBox* debug_check_ = nullptr;
};

}  // namespace quillon
