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
#include <map>

#include "platform/qt/event_waiter.hpp"
#include "platform/qt/operator_events.hpp"
#include "platform/window/qt_window_view.hpp"
#include "tests/gui/gui_test_support.hpp"

namespace quillon::testing {
namespace {

// What of a control the operator sees: a caption label only as far as its text goes.
QRect seen_rect(const QWidget* c) {
    const auto* label = qobject_cast<const QLabel*>(c);
    if (label == nullptr || label->text().isEmpty() || label->frameWidth() > 0)
        return c->geometry();
    int width = 0;
    for (const QString& line : label->text().split(QLatin1Char('\n')))
        width = std::max(width, label->fontMetrics().horizontalAdvance(line));
    return {c->geometry().topLeft(), QSize(std::min(width, c->width()), c->height())};
}

// The controls of a window (objects named control_N), as the operator sees
// them: each shown, in the client area, and none covering another.
void expect_laid_out(const QWidget* window, QSize client_area) {
    const QList<QWidget*> controls =
        window->findChildren<QWidget*>(QRegularExpression(QStringLiteral("^control_\\d+$")));
    ASSERT_FALSE(controls.isEmpty());
    const QRect area(QPoint(0, 0), client_area);
    for (const QWidget* c : controls) {
        SCOPED_TRACE(text_of(c->objectName()));
        EXPECT_TRUE(c->isVisibleTo(window));
        EXPECT_EQ(c->parentWidget()->mapTo(window, QPoint(0, 0)), QPoint(0, 0));
        EXPECT_TRUE(area.contains(c->geometry())) << "outside the window";
        for (const QWidget* other : controls) {
            if (other != c && seen_rect(c).intersects(seen_rect(other)))
                ADD_FAILURE() << "covers " << text_of(other->objectName());
        }
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

TEST_F(MainWindowLayout, ControlsLieInTheWindowWithoutCoveringEachOther) {
    expect_laid_out(window, window->size());
}

TEST_F(MainWindowLayout, ControlsStartInTheirInitialStates) {
    for (Control toggle : {Control::filter_toggle, Control::invert_toggle}) {
        const auto* button = control_of<QPushButton>(window, toggle);
        EXPECT_TRUE(button->isCheckable()) << number_of(toggle);
        EXPECT_FALSE(button->isChecked()) << number_of(toggle);
    }
    EXPECT_TRUE(control_of<QCheckBox>(window, Control::delay_check)->isChecked());
    EXPECT_FALSE(control_of<QCheckBox>(window, Control::debug_check)->isChecked());
    for (Control rate : {Control::rx_rate, Control::tx_rate})
        EXPECT_TRUE(control_of<QLineEdit>(window, rate)->isReadOnly()) << number_of(rate);
    EXPECT_FALSE(control_of<QLineEdit>(window, Control::filter_text)->isReadOnly());
    for (Control graph : {Control::rx_graph, Control::tx_graph}) {
        const auto* image = control_of<QLabel>(window, graph);
        EXPECT_EQ(image->frameShadow(), QFrame::Sunken) << number_of(graph);
        EXPECT_GT(image->frameWidth(), 0) << number_of(graph);
    }
    EXPECT_TRUE(control_of<QCheckBox>(window, Control::delay_check)->isChecked());
    EXPECT_FALSE(control_of<QCheckBox>(window, Control::debug_check)->isChecked());
    EXPECT_FALSE(control_of<QPushButton>(window, Control::filter_toggle)->isChecked());
    EXPECT_FALSE(control_of<QPushButton>(window, Control::invert_toggle)->isChecked());
    EXPECT_EQ(text_of(control_of<QLineEdit>(window, Control::filter_text)->text()), "");
}

TEST_F(MainWindowLayout, ListViewsHaveTheirColumns) {
    expect_columns(control_of<QTreeWidget>(window, Control::traffic_list), {{"N-V", 35},
                                                                            {"Time", 70},
                                                                            {"Frame Hex Code", 190},
                                                                            {"Ln", 30},
                                                                            {"Cs", 40},
                                                                            {"Source", 285}});
    expect_columns(control_of<QTreeWidget>(window, Control::client_list),
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

    view.set_status_field(StatusField::serial, "Velbus serial COM1");
    EXPECT_EQ(text_of(bar->findChild<QLabel*>(QStringLiteral("status_field_3"))->text()),
              "Velbus serial COM1");
}

TEST_F(MainWindowLayout, EveryCaptionFitsItsControl) {
    expect_captions_fit(window);
}

TEST_F(MainWindowLayout, StatusTextsShowWholeOrShortenedInTheMiddle) {
    const std::pair<StatusField, const char*> start_up[] = {
        {StatusField::uptime, "UpTime: 0y 0m 0d and 00:00:00"},
        {StatusField::bus_frames, "V:0"},
        {StatusField::client_frames, "N:0"},
        {StatusField::serial, "Velbus serial COM1"},
        {StatusField::ethernet, "Ethernet port 8080"},
        {StatusField::clock, "23:59:59"},
        {StatusField::analyzers, "A:0"},
    };
    const auto field = [this](StatusField f) {
        return window->findChild<QLabel*>(QStringLiteral("status_field_%1").arg(number_of(f)));
    };
    for (const auto& [number, text] : start_up) {
        view.set_status_field(number, text);
        QApplication::processEvents();  // the last field grows with its text
        EXPECT_EQ(text_of(field(number)->text()), text);
        expect_text_fits(field(number), QString::fromUtf8(text));
    }

    const std::string path =
        "Velbus serial /dev/serial/by-id/usb-Velleman_Projects_VMB1USB_Velbus_USB_interface-if00";
    view.set_status_field(StatusField::serial, path);
    QLabel* serial = field(StatusField::serial);
    const std::string shown = text_of(serial->text());
    EXPECT_EQ(shown.rfind("Velbus", 0), 0u) << shown;
    EXPECT_NE(shown.find("\u2026"), std::string::npos) << shown;
    EXPECT_EQ(shown.substr(shown.size() - 4), "if00") << shown;
    expect_text_fits(serial, serial->text());
    EXPECT_EQ(text_of(serial->toolTip()), path);

    view.set_status_field(StatusField::serial, "Velbus serial COM1");
    EXPECT_EQ(text_of(serial->text()), "Velbus serial COM1");
    EXPECT_TRUE(serial->toolTip().isEmpty());
}

TEST_F(MainWindowLayout, ResizingMovesNoControl) {
    std::map<QString, QRect> before;
    const QList<QWidget*> controls =
        window->findChildren<QWidget*>(QRegularExpression(QStringLiteral("^control_\\d+$")));
    for (const QWidget* c : controls)
        before[c->objectName()] = c->geometry();
    for (const QSize size : {QSize(1000, 700), QSize(400, 300)}) {
        window->resize(size);
        QApplication::processEvents();
        EXPECT_EQ(window->size(), size);
        for (const QWidget* c : controls)
            EXPECT_EQ(c->geometry(), before[c->objectName()]) << text_of(c->objectName());
    }
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
             expect_laid_out(dialog, dialog->size());
             EXPECT_TRUE(control_of<QRadioButton>(dialog, DialogControl::usb_module)->isChecked());
             EXPECT_FALSE(control_of<QRadioButton>(dialog, DialogControl::rs_module)->isChecked());
             EXPECT_TRUE(control_of<QPushButton>(dialog, DialogControl::ok)->isDefault());
             EXPECT_FALSE(control_of<QPushButton>(dialog, DialogControl::quit)->isDefault());
             const auto* port = control_of<QLineEdit>(dialog, DialogControl::port);
             ASSERT_NE(port, nullptr);
             const auto* digits =
                 qobject_cast<const QRegularExpressionValidator*>(port->validator());
             ASSERT_NE(digits, nullptr);
             EXPECT_EQ(digits->regularExpression().pattern(), "[0-9]*");
             click(control_of(dialog, DialogControl::quit));
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
             click(control_of(dialog, DialogControl::quit));
         });
    EXPECT_EQ(view.ask_first_configuration().action, FirstConfigurationAnswer::Action::quit);
    view.close_first_configuration();
}

}  // namespace
}  // namespace quillon::testing
