#include "platform/window/qt_window_view.hpp"

#include <QCheckBox>
#include <QDesktopServices>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTreeWidget>
#include <QUrl>
#include <cstdio>

#include "platform/qt/operator_events.hpp"
#include "platform/window/first_configuration_dialog.hpp"
#include "platform/window/images.hpp"
#include "platform/window/main_window.hpp"

namespace quillon {
namespace {

QString to_qstring(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QColor to_qcolor(Rgb c) {
    return QColor(c.r, c.g, c.b);
}

template <std::size_t N>
QTreeWidgetItem* make_row(const std::array<std::string, N>& cells, const QIcon& icon) {
    auto* item = new QTreeWidgetItem;
    for (std::size_t i = 0; i < N; ++i)
        item->setText(static_cast<int>(i), to_qstring(cells[i]));
    if (!icon.isNull()) item->setIcon(0, icon);
    return item;
}

}  // namespace

QtWindowView::QtWindowView(OperatorEventQueue& events, std::string user_guide_path)
    : user_guide_path_(std::move(user_guide_path)),
      window_(std::make_unique<MainWindow>(
          row_icon_images(), [&events](OperatorEvent event) { events.post(std::move(event)); })) {}

QtWindowView::~QtWindowView() = default;

QWidget* QtWindowView::main_window() const {
    return window_.get();
}

QWidget* QtWindowView::first_configuration_window() const {
    return dialog_.get();
}

QWidget* QtWindowView::front_window() const {
    if (dialog_ && dialog_->isVisible()) return dialog_.get();
    if (window_->isVisible()) return window_.get();
    return nullptr;
}

void QtWindowView::create_main_window() {
    window_->show();
    window_->raise();
    window_->activateWindow();
}

void QtWindowView::set_title(std::string_view title) {
    window_->setWindowTitle(to_qstring(title));
}

void QtWindowView::traffic_insert_top(const TrafficRow& row) {
    QTreeWidgetItem* item = make_row(row.cells, window_->row_icon(row.icon));
    for (int column = 0; column < traffic_column_count; ++column) {
        if (row.colour_is_background) {
            item->setBackground(column, to_qcolor(row.colour));
        } else {
            item->setForeground(column, to_qcolor(row.colour));
        }
    }
    window_->traffic_list()->insertTopLevelItem(0, item);
}

void QtWindowView::traffic_remove(int row) {
    delete window_->traffic_list()->takeTopLevelItem(row);
}

void QtWindowView::traffic_clear() {
    window_->traffic_list()->clear();
}

void QtWindowView::show_clients(const std::vector<ClientRow>& rows) {
    // Any client's bad frame redraws the list: the operator's choice follows
    // its client, wherever its row lands, until the row is gone.
    QTreeWidget* list = window_->client_list();
    const QList<QTreeWidgetItem*> selected = list->selectedItems();
    const std::int32_t chosen =
        selected.isEmpty()
            ? 0
            : selected.front()->data(0, MainWindow::client_role).value<std::int32_t>();
    list->clear();
    QList<QTreeWidgetItem*> items;
    QTreeWidgetItem* still_chosen = nullptr;
    for (const ClientRow& row : rows) {
        QTreeWidgetItem* item = make_row(row.cells, window_->row_icon(row.icon));
        item->setData(0, MainWindow::client_role, row.client);
        if (chosen != 0 && row.client == chosen && still_chosen == nullptr) still_chosen = item;
        items.append(item);
    }
    list->addTopLevelItems(items);
    if (still_chosen != nullptr) list->setCurrentItem(still_chosen);
}

void QtWindowView::set_status_field(StatusField field, std::string_view text) {
    // Field 1 is written on every pass; an unchanged text costs no repaint.
    if (StatusLabel* label = window_->status_field(field)) label->show_text(to_qstring(text));
}

void QtWindowView::set_rate_field(Control field, std::string_view text) {
    if (auto* shown = qobject_cast<QLineEdit*>(window_->control(field)))
        shown->setText(to_qstring(text));
}

void QtWindowView::show_graph(Control graph, const RgbImage& image) {
    if (auto* label = qobject_cast<QLabel*>(window_->control(graph)))
        label->setPixmap(QPixmap::fromImage(to_qimage(image)));
}

void QtWindowView::message_box(std::string_view title, std::string_view text, MessageIcon icon) {
    QMessageBox::Icon shown = QMessageBox::NoIcon;
    if (icon == MessageIcon::error) shown = QMessageBox::Critical;
    if (icon == MessageIcon::information) shown = QMessageBox::Information;
    QMessageBox box(shown, to_qstring(title), to_qstring(text), QMessageBox::Ok, front_window());
    box.exec();
}

void QtWindowView::set_control_checked(Control control, bool checked) {
    // Another view may have changed it: the box shows what the gateway took,
    // without reporting a use of its own.
    if (!window_) return;
    QCheckBox* box = control == Control::delay_check   ? window_->delay_check()
                     : control == Control::debug_check ? window_->debug_check()
                                                       : nullptr;
    if (box == nullptr || box->isChecked() == checked) return;
    const QSignalBlocker quiet(box);
    box->setChecked(checked);
}

void QtWindowView::log_line(std::string_view text) {
    // The window shows its rows; this is for whoever started the program.
    std::fprintf(stderr, "%.*s\n", static_cast<int>(text.size()), text.data());
    std::fflush(stderr);
}

bool QtWindowView::ask_yes_no(std::string_view title, std::string_view text) {
    QMessageBox box(QMessageBox::Question, to_qstring(title), to_qstring(text),
                    QMessageBox::Yes | QMessageBox::No, front_window());
    // A stray Enter or Escape must not end the gateway.
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

void QtWindowView::open_user_guide() {
    // Does not wait for the viewer; a failure is not reported.
    QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(user_guide_path_)));
}

FirstConfigurationAnswer QtWindowView::ask_first_configuration() {
    if (!dialog_) dialog_ = std::make_unique<FirstConfigurationDialog>();
    return dialog_->run();
}

void QtWindowView::close_first_configuration() {
    dialog_.reset();
}

}  // namespace quillon
