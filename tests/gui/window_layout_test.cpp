// Window 0 and window 1 as laid out: places, sizes, captions, columns, status
// bar, window flags.

#include <QCheckBox>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <QStatusBar>
#include <QStyle>
#include <QStyleOptionButton>

#include "platform/qt/event_waiter.hpp"
#include "platform/qt/operator_events.hpp"
#include "tests/gui/gui_test_support.hpp"
#include "ui/qt/qt_window_view.hpp"

namespace quillon::testing {
namespace {

struct Place {
    int number;
    const char* type;
    int x, y, w, h;
    const char* caption;
};

const Place main_window_places[] = {
    {2, "QPushButton", 295, 10, 55, 20, "Clear"},
    {3, "QPushButton", 355, 10, 55, 20, "Save"},
    {25, "QPushButton", 460, 10, 15, 20, "!"},
    {5, "QLineEdit", 480, 10, 110, 20, ""},
    {4, "QPushButton", 605, 10, 55, 20, "Filter"},
    {22, "QLabel", 10, 30, 260, 13, "Time"},
    {6, "QTreeWidget", 10, 45, 660, 145, nullptr},
    {7, "QTreeWidget", 10, 200, 660, 145, nullptr},
    {18, "QLabel", 135, 350, 165, 15, "Velbus Bandwidth"},
    // The graphs' 120 x 25 picture areas at (10, 355) and (10, 385), framed around.
    {8, "QLabel", 9, 354, 122, 27, ""},
    {9, "QLabel", 9, 384, 122, 27, ""},
    {16, "QLineEdit", 135, 365, 50, 18, "0"},
    {20, "QLabel", 190, 370, 50, 15, "bps (RX)"},
    {17, "QLineEdit", 135, 390, 50, 18, "0"},
    {21, "QLabel", 190, 395, 50, 15, "bps (TX)"},
    {26, "QCheckBox", 250, 355, 180, 20, "Delay messages to Velbus (50ms)"},
    {27, "QCheckBox", 250, 375, 180, 20, "DebugMode (logfile)"},
    {12, "QPushButton", 485, 355, 85, 25, "Disconnect"},
    {13, "QPushButton", 575, 355, 85, 25, "Disconnect All"},
    {14, "QPushButton", 575, 385, 45, 25, "Quit"},
    {15, "QPushButton", 635, 385, 23, 25, "?"},
};

const Place dialog_places[] = {
    {30, "QLabel", 10, 10, 300, 40,
     "It's the initial settings !\nPlease give information about Serial port and Ethernet port :"},
    {31, "QLabel", 10, 60, 220, 20, "Enter the serial port name (eg. COM4)"},
    {32, "QLabel", 10, 90, 220, 20, "Enter the Ethernet port number(>1024)"},
    {33, "QLineEdit", 240, 60, 60, 20, "COM4"},
    {34, "QLineEdit", 240, 90, 60, 20, "8080"},
    {35, "QRadioButton", 100, 120, 100, 20, "USB module"},
    {36, "QRadioButton", 200, 120, 100, 20, "RS-232 module"},
    {28, "QPushButton", 230, 150, 80, 20, "OK"},
    {29, "QPushButton", 150, 150, 70, 20, "Quit"},
};

std::string caption_of(const QWidget* widget) {
    if (const auto* button = qobject_cast<const QAbstractButton*>(widget))
        return text_of(button->text());
    if (const auto* label = qobject_cast<const QLabel*>(widget)) return text_of(label->text());
    if (const auto* field = qobject_cast<const QLineEdit*>(widget)) return text_of(field->text());
    return {};
}

template <std::size_t N>
void expect_places(const QWidget* window, const Place (&places)[N]) {
    for (const Place& p : places) {
        SCOPED_TRACE("control " + std::to_string(p.number));
        const QWidget* widget = control_of(window, p.number);
        ASSERT_NE(widget, nullptr);
        EXPECT_STREQ(widget->metaObject()->className(), p.type);
        EXPECT_EQ(widget->geometry(), QRect(p.x, p.y, p.w, p.h));
        // Positions are in the client area: the controls' parent starts at its corner.
        EXPECT_EQ(widget->parentWidget()->mapTo(window, QPoint(0, 0)), QPoint(0, 0));
        if (p.caption != nullptr) {
            EXPECT_EQ(caption_of(widget), p.caption);
        }
        EXPECT_TRUE(widget->isVisibleTo(window));
    }
}

void expect_columns(const QTreeWidget* list, const std::vector<std::pair<const char*, int>>& want) {
    ASSERT_EQ(list->columnCount(), static_cast<int>(want.size()));
    for (std::size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE("column " + std::to_string(i));
        EXPECT_EQ(text_of(list->headerItem()->text(static_cast<int>(i))), want[i].first);
        EXPECT_EQ(list->columnWidth(static_cast<int>(i)), want[i].second);
    }
    EXPECT_EQ(list->selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_EQ(list->selectionMode(), QAbstractItemView::SingleSelection);
    EXPECT_EQ(list->topLevelItemCount(), 0);
}

// The room that a control's style leaves for its text.
QSize room_for_text(const QWidget* widget) {
    if (const auto* label = qobject_cast<const QLabel*>(widget)) {
        // A framed label without an indent of its own indents by half an "x".
        int indent = label->indent();
        if (indent < 0)
            indent = label->frameWidth() > 0
                         ? label->fontMetrics().horizontalAdvance(QLatin1Char('x')) / 2
                         : 0;
        const Qt::Alignment align = label->alignment();
        const int sides = (align & Qt::AlignLeft ? 1 : 0) + (align & Qt::AlignRight ? 1 : 0);
        const QRect inside = label->contentsRect().marginsRemoved(
            QMargins(label->margin(), label->margin(), label->margin(), label->margin()));
        return {inside.width() - sides * indent, inside.height()};
    }
    const auto* button = qobject_cast<const QAbstractButton*>(widget);
    if (button == nullptr) return {};
    QStyleOptionButton option;
    option.initFrom(button);
    option.text = button->text();
    QStyle::SubElement contents = QStyle::SE_PushButtonContents;
    if (const auto* push = qobject_cast<const QPushButton*>(button)) {
        if (push->autoDefault()) option.features |= QStyleOptionButton::AutoDefaultButton;
        if (push->isDefault()) option.features |= QStyleOptionButton::DefaultButton;
    } else {
        contents = qobject_cast<const QCheckBox*>(button) ? QStyle::SE_CheckBoxContents
                                                          : QStyle::SE_RadioButtonContents;
    }
    return button->style()->subElementRect(contents, &option, button).size();
}

// Every line of the text, as wide and as high as the control's font draws it,
// fits the room that the control leaves for it.
void expect_text_fits(const QWidget* widget, const QString& text) {
    SCOPED_TRACE(text_of(widget->objectName() + QStringLiteral(" \"") + text +
                         QStringLiteral("\" in ") + widget->font().family() +
                         QStringLiteral(" %1 px").arg(widget->font().pixelSize())));
    const QSize room = room_for_text(widget);
    const QFontMetrics metrics = widget->fontMetrics();
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (const QString& line : lines)
        EXPECT_LE(metrics.horizontalAdvance(line), room.width()) << text_of(line);
    EXPECT_LE(metrics.height() + (lines.size() - 1) * metrics.lineSpacing(), room.height());
}

// Each caption of a window's controls: labels, buttons, check boxes, options.
void expect_captions_fit(const QWidget* window) {
    const QList<QWidget*> controls =
        window->findChildren<QWidget*>(QRegularExpression(QStringLiteral("^control_\\d+$")));
    ASSERT_FALSE(controls.isEmpty());
    int captions = 0;
    for (const QWidget* widget : controls) {
        QString caption;
        if (const auto* label = qobject_cast<const QLabel*>(widget)) caption = label->text();
        if (const auto* button = qobject_cast<const QAbstractButton*>(widget))
            caption = button->text();
        if (caption.isEmpty()) continue;
        expect_text_fits(widget, caption);
        ++captions;
    }
    EXPECT_GT(captions, 0);
}

class MainWindowLayout : public ::testing::Test {
  protected:
    EventWaiter waiter;
    OperatorEventQueue events{waiter};
    QtWindowView view{events, ""};
    QWidget* window = view.main_window();

    void SetUp() override {
        view.create_main_window();
        QApplication::processEvents();
    }
};

TEST_F(MainWindowLayout, WindowHasItsTitlePlaceSizeAndButtons) {
    EXPECT_EQ(text_of(window->windowTitle()), "Quillon");
    EXPECT_EQ(window->objectName(), "window_0");
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->pos(), QPoint(356, 180));
    EXPECT_EQ(window->size(), QSize(686, 438));
    const Qt::WindowFlags flags = window->windowFlags();
    EXPECT_TRUE(flags.testFlag(Qt::WindowTitleHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowCloseButtonHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
    // A sizing border: the size is not fixed.
    EXPECT_LT(window->minimumWidth(), 686);
    EXPECT_GT(window->maximumWidth(), 686);

    view.set_title("Quillon 3.25");
    EXPECT_EQ(text_of(window->windowTitle()), "Quillon 3.25");
}

TEST_F(MainWindowLayout, EveryControlHasItsPlaceSizeAndCaption) {
    expect_places(window, main_window_places);
}

TEST_F(MainWindowLayout, ControlsStartInTheirInitialStates) {
    for (int toggle : {control::filter_toggle, control::invert_toggle}) {
        const auto* button = control_of<QPushButton>(window, toggle);
        EXPECT_TRUE(button->isCheckable()) << toggle;
        EXPECT_FALSE(button->isChecked()) << toggle;
    }
    EXPECT_TRUE(control_of<QCheckBox>(window, control::delay_check)->isChecked());
    EXPECT_FALSE(control_of<QCheckBox>(window, control::debug_check)->isChecked());
    for (int rate : {control::rx_rate, control::tx_rate})
        EXPECT_TRUE(control_of<QLineEdit>(window, rate)->isReadOnly()) << rate;
    EXPECT_FALSE(control_of<QLineEdit>(window, control::filter_text)->isReadOnly());
    for (int graph : {control::rx_graph, control::tx_graph}) {
        const auto* image = control_of<QLabel>(window, graph);
        EXPECT_EQ(image->frameShadow(), QFrame::Sunken) << graph;
        EXPECT_GT(image->frameWidth(), 0) << graph;
    }
    EXPECT_TRUE(control_of<QCheckBox>(window, control::delay_check)->isChecked());
    EXPECT_FALSE(control_of<QCheckBox>(window, control::debug_check)->isChecked());
    EXPECT_FALSE(control_of<QPushButton>(window, control::filter_toggle)->isChecked());
    EXPECT_FALSE(control_of<QPushButton>(window, control::invert_toggle)->isChecked());
    EXPECT_EQ(text_of(control_of<QLineEdit>(window, control::filter_text)->text()), "");
}

TEST_F(MainWindowLayout, ListViewsHaveTheirColumns) {
    expect_columns(control_of<QTreeWidget>(window, control::traffic_list), {{"N-V", 35},
                                                                            {"Time", 70},
                                                                            {"Frame Hex Code", 190},
                                                                            {"Ln", 30},
                                                                            {"Cs", 40},
                                                                            {"Source", 285}});
    expect_columns(control_of<QTreeWidget>(window, control::client_list),
                   {{"", 35},
                    {"IP Address and port", 230},
                    {"Start Date", 130},
                    {"End Date", 130},
                    {"Nb Err", 50}});
}

TEST_F(MainWindowLayout, StatusBarHasSevenFieldsTheLastTakingTheRest) {
    const auto* bar = window->findChild<QStatusBar*>();
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(bar->mapTo(window, QPoint(0, bar->height())).y(), 438);  // at the bottom
    const int widths[6] = {250, 50, 50, 105, 105, 60};
    int right = 0;
    for (int i = 0; i < 7; ++i) {
        SCOPED_TRACE(i);
        const auto* field = bar->findChild<QLabel*>(QStringLiteral("status_field_%1").arg(i));
        ASSERT_NE(field, nullptr);
        if (i < 6) {
            EXPECT_EQ(field->width(), widths[i]);
        }
        EXPECT_GE(field->x(), right);  // left to right in field order
        right = field->x() + field->width();
    }
    const auto* last = bar->findChild<QLabel*>(QStringLiteral("status_field_6"));
    EXPECT_GT(last->width(), 0);
    EXPECT_GT(right, 686 - 40);  // the last field reaches across to the size grip

    view.set_status_field(status_field::serial, "Velbus serial COM1");
    EXPECT_EQ(text_of(bar->findChild<QLabel*>(QStringLiteral("status_field_3"))->text()),
              "Velbus serial COM1");
}

TEST_F(MainWindowLayout, EveryCaptionFitsItsControl) {
    expect_captions_fit(window);
}

TEST_F(MainWindowLayout, StatusTextsShowWholeOrShortenedInTheMiddle) {
    const std::pair<int, const char*> start_up[] = {
        {status_field::uptime, "UpTime: 0y 0m 0d and 00:00:00"},
        {status_field::bus_frames, "V:0"},
        {status_field::client_frames, "N:0"},
        {status_field::serial, "Velbus serial COM1"},
        {status_field::ethernet, "Ethernet port 8080"},
        {status_field::clock, "23:59:59"},
        {status_field::analyzers, "A:0"},
    };
    const auto field = [this](int i) {
        return window->findChild<QLabel*>(QStringLiteral("status_field_%1").arg(i));
    };
    for (const auto& [number, text] : start_up) {
        view.set_status_field(number, text);
        QApplication::processEvents();  // the last field grows with its text
        EXPECT_EQ(text_of(field(number)->text()), text);
        expect_text_fits(field(number), QString::fromUtf8(text));
    }

    const std::string path =
        "Velbus serial /dev/serial/by-id/usb-Velleman_Projects_VMB1USB_Velbus_USB_interface-if00";
    view.set_status_field(status_field::serial, path);
    QLabel* serial = field(status_field::serial);
    const std::string shown = text_of(serial->text());
    EXPECT_EQ(shown.rfind("Velbus", 0), 0u) << shown;
    EXPECT_NE(shown.find("\u2026"), std::string::npos) << shown;
    EXPECT_EQ(shown.substr(shown.size() - 4), "if00") << shown;
    expect_text_fits(serial, serial->text());
    EXPECT_EQ(text_of(serial->toolTip()), path);

    view.set_status_field(status_field::serial, "Velbus serial COM1");
    EXPECT_EQ(text_of(serial->text()), "Velbus serial COM1");
    EXPECT_TRUE(serial->toolTip().isEmpty());
}

TEST_F(MainWindowLayout, ResizingMovesNoControl) {
    window->resize(1000, 700);
    QApplication::processEvents();
    EXPECT_EQ(window->size(), QSize(1000, 700));
    expect_places(window, main_window_places);
    window->resize(400, 300);
    QApplication::processEvents();
    expect_places(window, main_window_places);
}

TEST(FirstConfigurationLayout, DialogIsCentredWithItsControls) {
    EventWaiter waiter;
    OperatorEventQueue events{waiter};
    QtWindowView view(events, "");
    EXPECT_EQ(view.first_configuration_window(), nullptr);
    when([&] { return view.first_configuration_window() != nullptr; },
         [&] {
             QWidget* dialog = view.first_configuration_window();
             EXPECT_TRUE(dialog->isVisible());
             EXPECT_EQ(dialog->objectName(), "window_1");
             EXPECT_EQ(text_of(dialog->windowTitle()), "Quillon First Configuration");
             EXPECT_EQ(dialog->size(), QSize(320, 190));
             const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
             EXPECT_EQ(dialog->frameGeometry().center(), screen.center());
             const Qt::WindowFlags flags = dialog->windowFlags();
             EXPECT_TRUE(flags.testFlag(Qt::WindowCloseButtonHint));
             EXPECT_FALSE(flags.testFlag(Qt::WindowMinimizeButtonHint));
             EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
             expect_places(dialog, dialog_places);
             EXPECT_TRUE(control_of<QRadioButton>(dialog, 35)->isChecked());
             EXPECT_FALSE(control_of<QRadioButton>(dialog, 36)->isChecked());
             EXPECT_TRUE(control_of<QPushButton>(dialog, 28)->isDefault());
             EXPECT_FALSE(control_of<QPushButton>(dialog, 29)->isDefault());
             const auto* port = control_of<QLineEdit>(dialog, 34);
             ASSERT_NE(port, nullptr);
             const auto* digits =
                 qobject_cast<const QRegularExpressionValidator*>(port->validator());
             ASSERT_NE(digits, nullptr);
             EXPECT_EQ(digits->regularExpression().pattern(), "[0-9]*");
             click(control_of(dialog, 29));
         });
    EXPECT_EQ(view.ask_first_configuration().action, FirstConfigurationAnswer::Action::quit);
    view.close_first_configuration();
    EXPECT_EQ(view.first_configuration_window(), nullptr);
}

TEST(FirstConfigurationLayout, EveryCaptionFitsItsControl) {
    EventWaiter waiter;
    OperatorEventQueue events{waiter};
    QtWindowView view(events, "");
    when([&] { return view.first_configuration_window() != nullptr; },
         [&] {
             QWidget* dialog = view.first_configuration_window();
             expect_captions_fit(dialog);
             click(control_of(dialog, 29));
         });
    EXPECT_EQ(view.ask_first_configuration().action, FirstConfigurationAnswer::Action::quit);
    view.close_first_configuration();
}

}  // namespace
}  // namespace quillon::testing
