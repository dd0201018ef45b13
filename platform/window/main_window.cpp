#include "platform/window/main_window.hpp"

#include <QAbstractButton>
#include <QCheckBox>
#include <QCloseEvent>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTreeWidget>

#include "platform/window/fonts.hpp"
#include "platform/window/images.hpp"

namespace quillon {
namespace {

enum class Kind {
    push_button,
    toggle_button,
    label,
    text_field,
    read_only_field,
    list_view,
    image,
    check_box
};

struct ControlPlace {
    int number;
    Kind kind;
    int x, y, width, height;  // in the client area, pixels
    const char* caption;
};

// Every control of the window, at its place and with its caption or initial content.
constexpr ControlPlace control_places[] = {
    {number_of(Control::clear), Kind::push_button, 295, 10, 55, 20, "Clear"},
    {number_of(Control::save), Kind::push_button, 355, 10, 55, 20, "Save"},
    {number_of(Control::invert_toggle), Kind::toggle_button, 460, 10, 15, 20, "!"},
    {number_of(Control::filter_text), Kind::text_field, 480, 10, 110, 20, ""},
    {number_of(Control::filter_toggle), Kind::toggle_button, 605, 10, 55, 20, "Filter"},
    {number_of(Label::time), Kind::label, 10, 30, 260, 13, "Time"},
    {number_of(Control::traffic_list), Kind::list_view, 10, 45, 660, 145, ""},
    {number_of(Control::client_list), Kind::list_view, 10, 200, 660, 145, ""},
    {number_of(Label::bandwidth), Kind::label, 135, 350, 165, 15, "Velbus Bandwidth"},
    {number_of(Control::rx_graph), Kind::image, 10, 355, 120, 25, ""},
    {number_of(Control::tx_graph), Kind::image, 10, 385, 120, 25, ""},
    {number_of(Control::rx_rate), Kind::read_only_field, 135, 365, 50, 18, "0"},
    {number_of(Label::rx_unit), Kind::label, 190, 370, 50, 15, "bps (RX)"},
    {number_of(Control::tx_rate), Kind::read_only_field, 135, 390, 50, 18, "0"},
    {number_of(Label::tx_unit), Kind::label, 190, 395, 50, 15, "bps (TX)"},
    {number_of(Control::delay_check), Kind::check_box, 250, 355, 180, 20,
     "Delay messages to Velbus (50ms)"},
    {number_of(Control::debug_check), Kind::check_box, 250, 375, 180, 20, "DebugMode (logfile)"},
    {number_of(Control::disconnect), Kind::push_button, 485, 355, 85, 25, "Disconnect"},
    {number_of(Control::disconnect_all), Kind::push_button, 575, 355, 85, 25, "Disconnect All"},
    {number_of(Control::set_clock), Kind::push_button, 485, 385, 85, 25, "Set Clock"},
    {number_of(Control::quit), Kind::push_button, 575, 385, 45, 25, "Quit"},
    {number_of(Control::help), Kind::push_button, 635, 385, 23, 25, "?"},
};

struct Column {
    const char* title;
    int width;
};

constexpr Column traffic_columns[traffic_column_count] = {
    {"N-V", 35}, {"Time", 70}, {"Frame Hex Code", 190}, {"Ln", 30}, {"Cs", 40}, {"Source", 285},
};

constexpr Column client_columns[client_column_count] = {
    {"", 35}, {"IP Address and port", 230}, {"Start Date", 130}, {"End Date", 130}, {"Nb Err", 50},
};

// Field 6 takes the width that the others leave.
constexpr int status_field_widths[6] = {250, 50, 50, 105, 105, 60};

constexpr int window_x = 356;
constexpr int window_y = 180;
constexpr int client_width = 686;
constexpr int client_height = 438;

template <std::size_t N>
void set_columns(QTreeWidget* list, const Column (&columns)[N]) {
    QStringList titles;
    for (const Column& c : columns)
        titles << QString::fromUtf8(c.title);
    list->setColumnCount(static_cast<int>(N));
    list->setHeaderLabels(titles);
    list->header()->setStretchLastSection(false);
    for (std::size_t i = 0; i < N; ++i)
        list->setColumnWidth(static_cast<int>(i), columns[i].width);
}

// A report-style list view: whole rows, one selected at a time, row icons.
QTreeWidget* make_list_view(QWidget* parent) {
    auto* list = new QTreeWidget(parent);
    list->setRootIsDecorated(false);
    list->setItemsExpandable(false);
    list->setUniformRowHeights(true);
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list->setIconSize(QSize(16, 16));
    list->setAllColumnsShowFocus(true);
    list->setStyleSheet(QStringLiteral("QTreeView::item { padding: 0px; }"));
    return list;
}

}  // namespace

void StatusLabel::show_text(const QString& text) {
    if (text == whole_) return;
    whole_ = text;
    fit();
    updateGeometry();
}

void StatusLabel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    fit();
}

void StatusLabel::fit() {
    // A framed label without an indent of its own indents by half an "x".
    int lead = indent();
    if (lead < 0)
        lead = frameWidth() > 0 ? fontMetrics().horizontalAdvance(QLatin1Char('x')) / 2 : 0;
    const int room = contentsRect().width() - 2 * margin() - lead;
    const QString shown = fontMetrics().elidedText(whole_, Qt::ElideMiddle, room);
    const QString tip = shown == whole_ ? QString() : whole_;
    if (toolTip() != tip) setToolTip(tip);
    if (text() != shown) setText(shown);
}

QSize StatusLabel::for_whole_text(QSize shown_hint) const {
    const QFontMetrics metrics = fontMetrics();
    shown_hint.rwidth() += metrics.horizontalAdvance(whole_) - metrics.horizontalAdvance(text());
    return shown_hint;
}

MainWindow::MainWindow(const std::vector<QImage>& icons, Report report)
    : QMainWindow(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                               Qt::WindowCloseButtonHint),
      report_(std::move(report)) {
    setObjectName(QStringLiteral("window_0"));
    setWindowTitle(QStringLiteral("Quillon"));
    for (const QImage& icon : icons)
        icons_.push_back(to_row_icon(icon));
    setFont(control_font());
    setCentralWidget(new QWidget(this));
    build_controls();
    build_status_bar();
    resize(client_width, client_height);
    move(window_x, window_y);
}

void MainWindow::build_controls() {
    QWidget* area = centralWidget();
    for (const ControlPlace& place : control_places) {
        const QString caption = QString::fromUtf8(place.caption);
        const int number = place.number;
        // Each use reports the state it left the control in (captions are never used).
        const auto used = [this, number] { report_(control_event(static_cast<Control>(number))); };
        QWidget* widget = nullptr;
        switch (place.kind) {
            case Kind::push_button:
            case Kind::toggle_button: {
                auto* button = new QPushButton(caption, area);
                button->setCheckable(place.kind == Kind::toggle_button);
                button->setAutoDefault(false);
                connect(button, &QPushButton::clicked, this, used);
                widget = button;
                break;
            }
            case Kind::label:
                widget = new QLabel(caption, area);
                break;
            case Kind::text_field:
            case Kind::read_only_field: {
                auto* field = new QLineEdit(caption, area);
                field->setReadOnly(place.kind == Kind::read_only_field);
                // The filter text is the gateway's as soon as it changes.
                if (place.kind == Kind::text_field)
                    connect(field, &QLineEdit::textChanged, this, used);
                widget = field;
                break;
            }
            case Kind::list_view: {
                QTreeWidget* list = make_list_view(area);
                connect(list, &QTreeWidget::itemClicked, this, used);
                widget = list;
                break;
            }
            case Kind::image: {
                auto* image = new QLabel(area);
                image->setFrameStyle(QFrame::Panel | QFrame::Sunken);
                image->setAlignment(Qt::AlignLeft | Qt::AlignBottom);
                widget = image;
                break;
            }
            case Kind::check_box: {
                auto* box = new QCheckBox(caption, area);
                connect(box, &QCheckBox::clicked, this, used);
                widget = box;
                break;
            }
        }
        widget->setObjectName(QStringLiteral("control_%1").arg(number));
        QRect area_place(place.x, place.y, place.width, place.height);
        if (place.kind == Kind::image) {
            // The place is the picture's, rows 0 to 24 all in sight: the frame goes around it.
            const int frame = static_cast<QFrame*>(widget)->frameWidth();
            area_place.adjust(-frame, -frame, frame, frame);
        }
        widget->setGeometry(area_place);
        controls_[number] = widget;
    }

    traffic_list_ = static_cast<QTreeWidget*>(controls_.at(number_of(Control::traffic_list)));
    client_list_ = static_cast<QTreeWidget*>(controls_.at(number_of(Control::client_list)));
    set_columns(traffic_list_, traffic_columns);
    set_columns(client_list_, client_columns);
    filter_toggle_ = static_cast<QPushButton*>(controls_.at(number_of(Control::filter_toggle)));
    invert_toggle_ = static_cast<QPushButton*>(controls_.at(number_of(Control::invert_toggle)));
    filter_field_ = static_cast<QLineEdit*>(controls_.at(number_of(Control::filter_text)));
    delay_check_ = static_cast<QCheckBox*>(controls_.at(number_of(Control::delay_check)));
    debug_check_ = static_cast<QCheckBox*>(controls_.at(number_of(Control::debug_check)));
    delay_check_->setChecked(true);
    debug_check_->setChecked(false);
}

void MainWindow::build_status_bar() {
    QStatusBar* bar = statusBar();
    bar->setObjectName(QStringLiteral("status_bar"));
    for (std::size_t i = 0; i < status_fields_.size(); ++i) {
        auto* field = new StatusLabel(bar);
        field->setObjectName(QStringLiteral("status_field_%1").arg(i));
        field->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        if (i < std::size(status_field_widths)) {
            field->setFixedWidth(status_field_widths[i]);
            bar->addWidget(field);
        } else {
            field->setMinimumWidth(0);
            bar->addWidget(field, 1);
        }
        status_fields_[i] = field;
    }
}

OperatorEvent MainWindow::control_event(Control c) const {
    OperatorEvent e = OperatorEvent::used(c);
    if (const auto* button = qobject_cast<const QAbstractButton*>(control(c)))
        e.checked = button->isChecked();
    if (c == Control::filter_text) e.text = filter_field_->text().toUtf8().toStdString();
    if (c == Control::disconnect) {
        const QList<QTreeWidgetItem*> selected = client_list_->selectedItems();
        if (!selected.isEmpty())
            e.client = selected.front()->data(0, client_role).value<std::int32_t>();
    }
    return e;
}

QWidget* MainWindow::control(Control c) const {
    const auto it = controls_.find(number_of(c));
    return it == controls_.end() ? nullptr : it->second;
}

StatusLabel* MainWindow::status_field(StatusField field) const {
    const int number = number_of(field);
    if (number < 0 || number >= status_field_count) return nullptr;
    return status_fields_[static_cast<std::size_t>(number)];
}

QIcon MainWindow::row_icon(int icon) const {
    if (icon < 0 || static_cast<std::size_t>(icon) >= icons_.size()) return {};
    return icons_[static_cast<std::size_t>(icon)];
}

void MainWindow::closeEvent(QCloseEvent* event) {
    event->ignore();
    report_(OperatorEvent::close_requested());
}

}  // namespace quillon
