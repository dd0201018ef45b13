// What the window shows when told, and what it reports when used.

#include <QCheckBox>
#include <QElapsedTimer>
#include <QIcon>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>

#include "platform/qt/event_waiter.hpp"
#include "platform/qt/operator_events.hpp"
#include "platform/window/qt_window_view.hpp"
#include "tests/gui/gui_test_support.hpp"

namespace quillon::testing {
namespace {

constexpr auto control_used = OperatorEventKind::control;
constexpr auto close_button = OperatorEventKind::close;

bool same_event(const OperatorEvent& a, OperatorEventKind kind, int number) {
    return a.kind == kind && number_of(a.control) == number;
}
bool same_event(const OperatorEvent& a, OperatorEventKind kind, Control control) {
    return same_event(a, kind, number_of(control));
}

// The row the operator has selected, -1 when none.
int selected_row(QTreeWidget* list) {
    const QList<QTreeWidgetItem*> selected = list->selectedItems();
    return selected.isEmpty() ? -1 : list->indexOfTopLevelItem(selected.front());
}

QColor qcolor(Rgb c) {
    return QColor(c.r, c.g, c.b);
}

// Pixels where a row's icon differs from the picture in the resource: the
// drawing is the same, the background around it transparent. -1 when either
// is missing or their sizes differ.
int differences_from_resource(const QIcon& icon, const char* path) {
    const QImage picture(QString::fromLatin1(path));
    const QImage shown = icon.pixmap(picture.size()).toImage();
    if (picture.isNull() || shown.size() != picture.size()) return -1;
    int differences = 0;
    for (int y = 0; y < picture.height(); ++y) {
        for (int x = 0; x < picture.width(); ++x) {
            const QColor want = picture.pixelColor(x, y);
            const QColor got = shown.pixelColor(x, y);
            const bool same = got.alpha() == 0 ? want == QColor(Qt::white) : got == want;
            differences += same ? 0 : 1;
        }
    }
    return differences;
}

class WindowView : public ::testing::Test {
  protected:
    EventWaiter waiter;
    OperatorEventQueue events{waiter};
    QtWindowView view{events, ""};
    QWidget* window = view.main_window();
    QTreeWidget* traffic = control_of<QTreeWidget>(window, Control::traffic_list);
    QTreeWidget* clients = control_of<QTreeWidget>(window, Control::client_list);

    void SetUp() override { view.create_main_window(); }

    std::vector<OperatorEvent> drain() {
        std::vector<OperatorEvent> got;
        for (OperatorEvent e = events.wait_event(0); e.kind != OperatorEventKind::none;
             e = events.wait_event(0))
            got.push_back(e);
        return got;
    }
};

TEST_F(WindowView, EachControlReportsItsUseByNumber) {
    for (int number : {2, 3, 4, 25, 12, 13, 14, 15, 26, 27, 40}) {
        SCOPED_TRACE(number);
        click(control_of(window, number));
        const std::vector<OperatorEvent> got = drain();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_TRUE(same_event(got[0], control_used, number));
    }
    // Labels and the read-only fields report nothing.
    for (int number : {16, 17, 18, 20, 21, 22})
        click(control_of(window, number));
    EXPECT_TRUE(drain().empty());
}

TEST_F(WindowView, CloseButtonIsReportedAndLeavesTheWindowOpen) {
    window->close();
    EXPECT_TRUE(window->isVisible());
    const std::vector<OperatorEvent> got = drain();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(same_event(got[0], close_button, 0));
}

TEST_F(WindowView, EventsComeOutInTheOrderOfUse) {
    click(control_of(window, Control::clear));
    click(control_of(window, Control::save));
    window->close();
    const std::vector<OperatorEvent> got = drain();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_TRUE(same_event(got[0], control_used, Control::clear));
    EXPECT_TRUE(same_event(got[1], control_used, Control::save));
    EXPECT_TRUE(same_event(got[2], close_button, 0));
}

TEST_F(WindowView, WaitLastsItsTimeOutUnlessAControlIsUsed) {
    QElapsedTimer elapsed;
    elapsed.start();
    EXPECT_EQ(events.wait_event(60).kind, OperatorEventKind::none);
    EXPECT_GE(elapsed.elapsed(), 55);

    QTimer::singleShot(20, [this] { click(control_of(window, Control::quit)); });
    elapsed.restart();
    const OperatorEvent event = events.wait_event(3000);
    EXPECT_LT(elapsed.elapsed(), 1000);
    EXPECT_TRUE(same_event(event, control_used, Control::quit));
}

TEST_F(WindowView, EachUseReportsTheStateItLeftTheControlIn) {
    const auto checked_after_click = [&](Control control) {
        click(control_of(window, control));
        const std::vector<OperatorEvent> got = drain();
        EXPECT_EQ(got.size(), 1u) << number_of(control);
        return !got.empty() && got.back().control == control && got.back().checked;
    };
    EXPECT_TRUE(checked_after_click(Control::filter_toggle));
    EXPECT_TRUE(checked_after_click(Control::invert_toggle));
    EXPECT_FALSE(checked_after_click(Control::delay_check));
    EXPECT_TRUE(checked_after_click(Control::debug_check));
    // A second press lets each one up again.
    EXPECT_FALSE(checked_after_click(Control::filter_toggle));
    EXPECT_FALSE(checked_after_click(Control::invert_toggle));
    EXPECT_TRUE(checked_after_click(Control::delay_check));
    EXPECT_FALSE(checked_after_click(Control::debug_check));

    // Every change of the filter text is the gateway's at once.
    QTest::keyClicks(control_of<QLineEdit>(window, Control::filter_text), "0ff8");
    const std::vector<OperatorEvent> typed = drain();
    ASSERT_EQ(typed.size(), 4u);
    EXPECT_EQ(typed.back().control, Control::filter_text);
    EXPECT_EQ(typed.back().text, "0ff8");
}

TEST_F(WindowView, TrafficRowsGoInAtTheTopWithIconAndColour) {
    TrafficRow bus;
    bus.cells = {"", "10:20:05.12", "0FFB0501 0AEB04", "7", "EB", "$05 from VelBUS"};
    bus.icon = icon_bus_frame;
    bus.colour = {20, 150, 20};
    TrafficRow client;
    client.cells = {"", "10:20:06.00", "0FF80102020104", "8", "01", "$01 from 1.2.3.4:888"};
    client.icon = icon_client_frame;
    client.colour = {50, 50, 200};
    view.traffic_insert_top(bus);
    view.traffic_insert_top(client);

    ASSERT_EQ(traffic->topLevelItemCount(), 2);
    EXPECT_EQ(column_texts(traffic, 1), (std::vector<std::string>{"10:20:06.00", "10:20:05.12"}));
    const QTreeWidgetItem* top = traffic->topLevelItem(0);
    for (int column = 0; column < traffic_column_count; ++column) {
        EXPECT_EQ(text_of(top->text(column)), client.cells.at(static_cast<std::size_t>(column)));
        EXPECT_EQ(top->foreground(column).color(), qcolor(client.colour)) << column;
    }
    EXPECT_EQ(differences_from_resource(top->icon(0), ":/icons/client-frame.png"), 0);
    EXPECT_EQ(differences_from_resource(traffic->topLevelItem(1)->icon(0), ":/icons/bus-frame.png"),
              0);
    EXPECT_EQ(traffic->topLevelItem(1)->foreground(5).color(), QColor(20, 150, 20));
}

TEST_F(WindowView, SilenceRowHasABackgroundAndNoIcon) {
    TrafficRow silence;
    silence.cells = {"", "10:22:05.00", "- timeout -", "", "", "No communication with Velbus"};
    silence.colour = {200, 50, 50};
    silence.colour_is_background = true;
    view.traffic_insert_top(silence);
    const QTreeWidgetItem* row = traffic->topLevelItem(0);
    ASSERT_NE(row, nullptr);
    EXPECT_TRUE(row->icon(0).isNull());
    for (int column = 0; column < traffic_column_count; ++column)
        EXPECT_EQ(row->background(column).color(), QColor(200, 50, 50)) << column;
    EXPECT_EQ(text_of(row->text(5)), "No communication with Velbus");
}

TEST_F(WindowView, TrafficRowsAreRemovedByPositionOrAllAtOnce) {
    for (const char* time : {"a", "b", "c", "d"}) {
        TrafficRow row;
        row.cell(TrafficColumn::time) = time;
        view.traffic_insert_top(row);
    }
    view.traffic_remove(3);  // the oldest, at the bottom
    EXPECT_EQ(column_texts(traffic, 1), (std::vector<std::string>{"d", "c", "b"}));
    view.traffic_remove(1);
    EXPECT_EQ(column_texts(traffic, 1), (std::vector<std::string>{"d", "b"}));
    view.traffic_remove(7);  // no such row
    EXPECT_EQ(traffic->topLevelItemCount(), 2);
    view.traffic_clear();
    EXPECT_EQ(traffic->topLevelItemCount(), 0);
}

TEST_F(WindowView, ClientListIsRebuiltWholeWithIconsAndSelection) {
    ClientRow live;
    live.cells = {"", "192.168.1.21 (889) ", "2026-12-07 10:21:00", "", "0"};
    live.icon = icon_client_live;
    ClientRow ended;
    ended.cells = {"", "192.168.1.20 (888)", "2026-12-07 10:20:05", "2026-12-07 10:31:40", "2"};
    ended.icon = icon_client_ended;
    view.show_clients({live, ended});
    ASSERT_EQ(clients->topLevelItemCount(), 2);
    EXPECT_EQ(column_texts(clients, 1),
              (std::vector<std::string>{"192.168.1.21 (889) ", "192.168.1.20 (888)"}));
    EXPECT_EQ(text_of(clients->topLevelItem(1)->text(3)), "2026-12-07 10:31:40");
    EXPECT_EQ(text_of(clients->topLevelItem(1)->text(4)), "2");
    EXPECT_EQ(
        differences_from_resource(clients->topLevelItem(0)->icon(0), ":/icons/client-live.png"), 0);
    EXPECT_EQ(
        differences_from_resource(clients->topLevelItem(1)->icon(0), ":/icons/client-ended.png"),
        0);

    EXPECT_EQ(selected_row(clients), -1);
    click_row(clients, 1);
    EXPECT_EQ(selected_row(clients), 1);
    const std::vector<OperatorEvent> got = drain();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(same_event(got[0], control_used, Control::client_list));

    view.show_clients({live});
    EXPECT_EQ(clients->topLevelItemCount(), 1);
    EXPECT_EQ(selected_row(clients), -1);
    view.show_clients({});
    EXPECT_EQ(clients->topLevelItemCount(), 0);
}

TEST_F(WindowView, RedrawKeepsTheSelectedClientSelectedUntilItsRowIsGone) {
    const auto row = [](std::int32_t client, const char* address, const char* errors) {
        ClientRow r;
        r.cells = {"", address, "2026-12-07 10:20:05", "", errors};
        r.icon = icon_client_live;
        r.client = client;
        r.live = true;
        return r;
    };
    view.show_clients({row(7, "192.168.1.21 (889)", "0"), row(4, "192.168.1.20 (888)", "0")});
    click_row(clients, 1);
    ASSERT_EQ(selected_row(clients), 1);

    // A newcomer on top, and a bad frame from the selected client.
    view.show_clients({row(9, "192.168.1.22 (890)", "0"), row(7, "192.168.1.21 (889)", "0"),
                       row(4, "192.168.1.20 (888)", "1")});
    EXPECT_EQ(selected_row(clients), 2);
    const QList<QTreeWidgetItem*> selected = clients->selectedItems();
    ASSERT_EQ(selected.size(), 1);
    EXPECT_EQ(text_of(selected.front()->text(1)), "192.168.1.20 (888)");
    EXPECT_EQ(text_of(selected.front()->text(4)), "1");
    drain();
    // "Disconnect" names that client.
    click(control_of(window, Control::disconnect));
    std::vector<OperatorEvent> got = drain();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].client, 4);

    view.show_clients({row(9, "192.168.1.22 (890)", "0"), row(7, "192.168.1.21 (889)", "0")});
    EXPECT_EQ(selected_row(clients), -1);
    EXPECT_TRUE(clients->selectedItems().isEmpty());
    click(control_of(window, Control::disconnect));
    got = drain();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].client, 0);
}

TEST_F(WindowView, GraphsRatesAndStatusFieldsShowWhatTheyAreGiven) {
    RgbImage graph(110, 25);
    for (int y = 0; y < 25; ++y) {
        for (int x = 0; x < 110; ++x) {
            const auto i = static_cast<std::size_t>((y * 110 + x) * 3);
            graph.pixels[i] = static_cast<std::uint8_t>(x * 2);
            graph.pixels[i + 1] = static_cast<std::uint8_t>(y * 10);
            graph.pixels[i + 2] = 77;
        }
    }
    view.show_graph(Control::tx_graph, graph);
    const QImage shown = control_of<QLabel>(window, Control::tx_graph)->pixmap().toImage();
    ASSERT_EQ(shown.size(), QSize(110, 25));
    for (int y = 0; y < 25; ++y) {
        for (int x = 0; x < 110; ++x) {
            const Rgb want = graph.at(x, y);
            ASSERT_EQ(shown.pixelColor(x, y), QColor(want.r, want.g, want.b)) << x << "," << y;
        }
    }
    EXPECT_TRUE(control_of<QLabel>(window, Control::rx_graph)->pixmap().isNull());

    view.set_rate_field(Control::rx_rate, "1200.0");
    view.set_rate_field(Control::tx_rate, "0.0");
    EXPECT_EQ(text_of(control_of<QLineEdit>(window, Control::rx_rate)->text()), "1200.0");
    EXPECT_EQ(text_of(control_of<QLineEdit>(window, Control::tx_rate)->text()), "0.0");

    view.set_status_field(StatusField::uptime, "UpTime: 0y 0m 0d and 00:00:05");
    view.set_status_field(StatusField::analyzers, "A:2");
    view.set_status_field(static_cast<StatusField>(9), "no such field");
    const auto field = [this](int i) {
        return text_of(
            window->findChild<QLabel*>(QStringLiteral("status_field_%1").arg(i))->text());
    };
    EXPECT_EQ(field(0), "UpTime: 0y 0m 0d and 00:00:05");
    EXPECT_EQ(field(6), "A:2");
}

TEST_F(WindowView, GraphShowsAFullHeightBarWhole) {
    const Rgb paper{255, 255, 255};
    const Rgb bar{10, 200, 30};
    RgbImage graph(110, 25);
    for (int y = 0; y < 25; ++y) {
        for (int x = 0; x < 110; ++x) {
            const auto i = static_cast<std::size_t>((y * 110 + x) * 3);
            const Rgb c = x == 60 ? bar : paper;
            graph.pixels[i] = c.r;
            graph.pixels[i + 1] = c.g;
            graph.pixels[i + 2] = c.b;
        }
    }
    view.show_graph(Control::rx_graph, graph);
    const QImage seen = control_of(window, Control::rx_graph)->grab().toImage();
    int bar_pixels = 0;
    for (int y = 0; y < seen.height(); ++y) {
        for (int x = 0; x < seen.width(); ++x)
            bar_pixels += seen.pixelColor(x, y) == qcolor(bar) ? 1 : 0;
    }
    EXPECT_EQ(bar_pixels, 25);  // one column, every row
}

struct BoxSeen {
    std::string title;
    std::string text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
};

BoxSeen look_at(const QMessageBox* box) {
    return {text_of(box->windowTitle()), text_of(box->text()), box->icon(), box->standardButtons()};
}

TEST_F(WindowView, MessageBoxesAreModalWithTitleTextIconAndOk) {
    const std::pair<MessageIcon, QMessageBox::Icon> icons[] = {
        {MessageIcon::error, QMessageBox::Critical},
        {MessageIcon::information, QMessageBox::Information},
        {MessageIcon::none, QMessageBox::NoIcon},
    };
    for (const auto& [given, shown] : icons) {
        BoxSeen seen;
        bool modal = false;
        when_message_box_opens([&](QMessageBox* box) {
            seen = look_at(box);
            modal = box->isModal() && box->parentWidget() == window;
            box->button(QMessageBox::Ok)->click();
        });
        view.message_box("Error", "No client selected.|Select a raw before clicking on this button",
                         given);
        EXPECT_EQ(seen.title, "Error");
        EXPECT_EQ(seen.text, "No client selected.|Select a raw before clicking on this button");
        EXPECT_EQ(seen.icon, shown);
        EXPECT_EQ(seen.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        EXPECT_TRUE(modal);
    }
}

TEST_F(WindowView, YesNoQuestionReturnsTheAnswer) {
    for (const bool yes : {true, false}) {
        BoxSeen seen;
        when_message_box_opens([&](QMessageBox* box) {
            seen = look_at(box);
            click(box->button(yes ? QMessageBox::Yes : QMessageBox::No));
        });
        EXPECT_EQ(view.ask_yes_no("Quit Quillon", "Do you want to close Quillon ?"), yes);
        EXPECT_EQ(seen.title, "Quit Quillon");
        EXPECT_EQ(seen.text, "Do you want to close Quillon ?");
        EXPECT_EQ(seen.icon, QMessageBox::Question);
        EXPECT_EQ(seen.buttons, QMessageBox::Yes | QMessageBox::No);
    }
}

TEST_F(WindowView, EnterOrEscapeOnTheQuestionAnswersNo) {
    for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Escape}) {
        SCOPED_TRACE(key == Qt::Key_Return ? "Enter" : "Escape");
        when_message_box_opens([key](QMessageBox* box) { press(box, key); });
        EXPECT_FALSE(view.ask_yes_no("Quit Quillon", "Do you want to close Quillon ?"));
    }
}

class FirstConfigurationDialog : public ::testing::Test {
  protected:
    EventWaiter waiter;
    OperatorEventQueue events{waiter};
    QtWindowView view{events, ""};

    void TearDown() override { view.close_first_configuration(); }

    // Once the dialog is open: `act` on it.
    void then(std::function<void(QWidget*)> act) {
        when(
            [this] {
                return view.first_configuration_window() != nullptr &&
                       view.first_configuration_window()->isVisible();
            },
            [this, act] { act(view.first_configuration_window()); });
    }
};

TEST_F(FirstConfigurationDialog, OkHandsBackTheFieldsAndTheModuleAndStaysOpen) {
    then([](QWidget* dialog) {
        auto* serial = control_of<QLineEdit>(dialog, DialogControl::serial_port);
        serial->selectAll();
        QTest::keyClicks(serial, "/dev/ttyACM0");
        auto* port = control_of<QLineEdit>(dialog, DialogControl::port);
        port->selectAll();
        QTest::keyClicks(port, "90x0-1");  // digits only
        click(control_of(dialog, DialogControl::rs_module));
        click(control_of(dialog, DialogControl::ok));
    });
    const FirstConfigurationAnswer answer = view.ask_first_configuration();
    EXPECT_EQ(answer.action, FirstConfigurationAnswer::Action::ok);
    EXPECT_EQ(answer.serial_port_name, "/dev/ttyACM0");
    EXPECT_EQ(answer.port_text, "9001");
    EXPECT_TRUE(answer.rs_module);
    ASSERT_NE(view.first_configuration_window(), nullptr);
    EXPECT_TRUE(view.first_configuration_window()->isVisible());

    // Asked again after a failed test: the fields are as they were.
    then([](QWidget* dialog) { click(control_of(dialog, DialogControl::ok)); });
    const FirstConfigurationAnswer again = view.ask_first_configuration();
    EXPECT_EQ(again.action, FirstConfigurationAnswer::Action::ok);
    EXPECT_EQ(again.serial_port_name, "/dev/ttyACM0");
    EXPECT_EQ(again.port_text, "9001");
    EXPECT_TRUE(again.rs_module);

    view.close_first_configuration();
    EXPECT_EQ(view.first_configuration_window(), nullptr);
}

TEST_F(FirstConfigurationDialog, DefaultsComeBackWithTheUsbModule) {
    then([](QWidget* dialog) {
        QTest::keyClick(control_of(dialog, DialogControl::serial_port),
                        Qt::Key_Return);  // the default button
    });
    const FirstConfigurationAnswer answer = view.ask_first_configuration();
    EXPECT_EQ(answer.action, FirstConfigurationAnswer::Action::ok);
    EXPECT_EQ(answer.serial_port_name, "COM4");
    EXPECT_EQ(answer.port_text, "8080");
    EXPECT_FALSE(answer.rs_module);
}

TEST_F(FirstConfigurationDialog, QuitCloseButtonEndItButEscapeDoesNot) {
    then([](QWidget* dialog) {
        QTest::keyClick(dialog, Qt::Key_Escape);
        EXPECT_TRUE(dialog->isVisible());
        click(control_of(dialog, DialogControl::quit));
    });
    EXPECT_EQ(view.ask_first_configuration().action, FirstConfigurationAnswer::Action::quit);

    then([](QWidget* dialog) { dialog->close(); });
    EXPECT_EQ(view.ask_first_configuration().action, FirstConfigurationAnswer::Action::quit);
}

TEST_F(FirstConfigurationDialog, MessageBoxesBelongToTheDialogWhileItIsOpen) {
    then([](QWidget* dialog) { click(control_of(dialog, DialogControl::ok)); });
    ASSERT_EQ(view.ask_first_configuration().action, FirstConfigurationAnswer::Action::ok);
    QWidget* parent = nullptr;
    when_message_box_opens([&](QMessageBox* box) {
        parent = box->parentWidget();
        box->button(QMessageBox::Ok)->click();
    });
    view.message_box("Serial Port error", "This Serial port (COM4) isn't available !",
                     MessageIcon::error);
    EXPECT_EQ(parent, view.first_configuration_window());
}

}  // namespace
}  // namespace quillon::testing
