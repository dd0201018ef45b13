// The gateway on in-memory ports, operated through the real window.

#include <unistd.h>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>

#include <filesystem>
#include <fstream>

#include "bus/bus_frame.hpp"
#include "core/gateway.hpp"
#include "core/gateway_loop.hpp"
#include "core/servers.hpp"
#include "platform/posix/posix_files.hpp"
#include "platform/qt/event_waiter.hpp"
#include "platform/qt/operator_events.hpp"
#include "platform/window/qt_window_view.hpp"
#include "tests/fakes/fake_clock.hpp"
#include "tests/fakes/fake_network.hpp"
#include "tests/fakes/fake_serial_port.hpp"
#include "tests/gui/gui_test_support.hpp"
#include "tests/support/velbus_frame.hpp"

namespace quillon::testing {
namespace {

const Bytes relay_on = make_frame(0xF8, 0x01, {0x02, 0x01});  // 0F F8 ...
const Bytes button = make_frame(0xFB, 0x05, {0x00, 0x01});    // 0F FB ...

// The operator's events without the wait for them: the loop's time-outs are
// on the test's clock, which a real sleep would not move, so the wait only
// takes in what Qt has for the window and returns.
class WaitWithoutSleep final : public LoopWait {
  public:
    explicit WaitWithoutSleep(OperatorEventQueue& events) : events_(events) {}
    OperatorEvent wait_event(std::int32_t /*timeout_ms*/) override { return events_.wait_event(0); }

  private:
    OperatorEventQueue& events_;
};

class WindowGateway : public ::testing::Test {
  protected:
    FakeClock clock;
    FakeSerialPort serial{clock};
    FakeNetwork net;
    EventWaiter waiter;
    OperatorEventQueue events{waiter};
    WaitWithoutSleep input{events};
    QtWindowView view{events, ""};
    NoViewWatcher watcher;
    PosixFiles files;
    Gateway gw{{clock, serial, net, view, watcher, input, view, view, files}};
    std::filesystem::path dir;
    QWidget* window = view.main_window();
    QTreeWidget* traffic = control_of<QTreeWidget>(window, Control::traffic_list);
    QTreeWidget* clients = control_of<QTreeWidget>(window, Control::client_list);

    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = std::filesystem::temp_directory_path() /
              ("quillon-gui-" + std::string(info->name()) + "-" + std::to_string(::getpid()));
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        gw.setup.settings_file = dir / "Quillon.ini";
        gw.setup.data_directory = dir;
    }
    void TearDown() override {
        shutdown(gw);
        std::filesystem::remove_all(dir);
    }

    void start() {
        std::ofstream(dir / "Quillon.ini", std::ios::binary)
            << "IPPort = 8080\r\nSerialPort = COM1,38400,0,8,1,0\r\n";
        ASSERT_EQ(start_gateway(gw), StartOutcome::running);
        ASSERT_TRUE(window->isVisible());
    }

    // Passes of the loop, 20 ms of the gateway's clock apart.
    bool pass(int count = 1) {
        for (int i = 0; i < count; ++i) {
            clock.advance(20);
            if (!run_pass(gw)) return false;
        }
        return true;
    }

    void use(Control control) { click(control_of(window, control)); }

    // The frames the traffic list shows, top row first.
    std::vector<std::string> shown() { return column_texts(traffic, 2); }

    // Sets the filter controls as the operator would, then lets the bus speak.
    std::vector<std::string> shown_with_filter(const char* text, bool inverted) {
        auto* field = control_of<QLineEdit>(window, Control::filter_text);
        field->selectAll();
        QTest::keyClick(field, Qt::Key_Delete);
        QTest::keyClicks(field, text);
        if (!control_of<QPushButton>(window, Control::filter_toggle)->isChecked())
            use(Control::filter_toggle);
        if (control_of<QPushButton>(window, Control::invert_toggle)->isChecked() != inverted)
            use(Control::invert_toggle);
        use(Control::clear);
        pass(20);  // one control event a pass, one a typed character
        EXPECT_EQ(traffic->topLevelItemCount(), 0);
        serial.deliver(relay_on);
        serial.deliver(button);
        pass();
        return shown();
    }
};

TEST_F(WindowGateway, ClearEmptiesTheTrafficListOnly) {
    start();
    net.connect("192.168.1.20", 888);
    serial.deliver(button);
    serial.deliver(relay_on);
    pass();
    clock.advance(1000);  // a statistics refresh draws the graphs
    pass(2);
    ASSERT_EQ(traffic->topLevelItemCount(), 2);
    ASSERT_EQ(clients->topLevelItemCount(), 1);
    const QImage graph = control_of<QLabel>(window, Control::rx_graph)->pixmap().toImage();
    ASSERT_FALSE(graph.isNull());

    use(Control::clear);
    pass();
    EXPECT_EQ(traffic->topLevelItemCount(), 0);
    EXPECT_EQ(clients->topLevelItemCount(), 1);
    EXPECT_EQ(control_of<QLabel>(window, Control::rx_graph)->pixmap().toImage(), graph);
}

TEST_F(WindowGateway, BusFramesBecomeColouredRowsNewestOnTop) {
    start();
    serial.deliver(button);
    serial.deliver(relay_on);
    pass();
    EXPECT_EQ(shown(), (std::vector<std::string>{hex_dump(relay_on), hex_dump(button)}));
    EXPECT_EQ(traffic->topLevelItem(0)->foreground(2).color(), QColor(150, 190, 30));
    EXPECT_EQ(traffic->topLevelItem(1)->foreground(2).color(), QColor(20, 150, 20));
    EXPECT_FALSE(traffic->topLevelItem(0)->icon(0).isNull());
}

TEST_F(WindowGateway, FilterWithInvertUpKeepsFramesThatBeginWithTheText) {
    start();
    EXPECT_EQ(shown_with_filter("0ff8", false), (std::vector<std::string>{hex_dump(relay_on)}));
    // Every frame begins with 0F, so "F8" matches none.
    EXPECT_TRUE(shown_with_filter("F8", false).empty());
    EXPECT_TRUE(shown_with_filter("", false).empty());
}

TEST_F(WindowGateway, FilterWithInvertDownHidesFramesThatContainTheText) {
    start();
    ASSERT_EQ(hex_dump(relay_on).find("FB"), std::string::npos);
    EXPECT_EQ(shown_with_filter("FB", true), (std::vector<std::string>{hex_dump(relay_on)}));
    EXPECT_EQ(shown_with_filter("", true),
              (std::vector<std::string>{hex_dump(button), hex_dump(relay_on)}));
}

TEST_F(WindowGateway, FilterOffShowsEveryFrameAndActsOnLaterRowsOnly) {
    start();
    serial.deliver(relay_on);
    pass();
    ASSERT_EQ(shown_with_filter("0FFB", false), (std::vector<std::string>{hex_dump(button)}));
    use(Control::filter_toggle);  // up again: no row comes back by itself
    pass();
    EXPECT_EQ(traffic->topLevelItemCount(), 1);
    serial.deliver(relay_on);
    pass();
    EXPECT_EQ(traffic->topLevelItemCount(), 2);
}

TEST_F(WindowGateway, The501stRowPushesOutTheOldest) {
    start();
    std::vector<Bytes> frames;
    for (int i = 0; i < 501; ++i) {
        frames.push_back(make_frame(0xFB, static_cast<std::uint8_t>(i % 256),
                                    {static_cast<std::uint8_t>(i / 256)}));
        serial.deliver(frames.back());
    }
    for (int i = 0; i < 5 && !serial.incoming.empty(); ++i)
        pass();
    ASSERT_TRUE(serial.incoming.empty());
    pass();
    ASSERT_EQ(traffic->topLevelItemCount(), 500);
    EXPECT_EQ(text_of(traffic->topLevelItem(0)->text(2)), hex_dump(frames[500]));
    EXPECT_EQ(text_of(traffic->topLevelItem(499)->text(2)), hex_dump(frames[1]));
}

TEST_F(WindowGateway, QuitAnsweredNoKeepsRunningAndYesShutsDown) {
    start();
    std::string asked;
    when_message_box_opens([&](QMessageBox* box) {
        asked = text_of(box->windowTitle()) + "|" + text_of(box->text());
        click(box->button(QMessageBox::No));
    });
    use(Control::quit);
    EXPECT_TRUE(pass());
    EXPECT_EQ(asked, "Quit Quillon|Do you want to close Quillon ?");
    EXPECT_TRUE(net.servers.count(Server::tcp) == 1);

    when_message_box_opens([](QMessageBox* box) { click(box->button(QMessageBox::Yes)); });
    use(Control::quit);
    EXPECT_FALSE(pass());
    EXPECT_EQ(net.servers.count(Server::tcp), 0u);
    EXPECT_FALSE(serial.open_now);
}

TEST_F(WindowGateway, CloseButtonEndsThePassWithoutAQuestion) {
    start();
    window->close();
    serial.deliver(button);
    EXPECT_FALSE(pass());  // the pass still finishes: the frame is read and shown
    EXPECT_EQ(traffic->topLevelItemCount(), 1);
}

TEST_F(WindowGateway, DelayBoxSetsThePacing) {
    start();
    const ConnectionHandle sender = net.connect("192.168.1.20", 888);
    pass();
    // The shortest gap between the writes of three frames sent at once.
    const auto shortest_gap = [&] {
        serial.writes.clear();
        net.client_sends(sender, Bytes{0x0F, 0xF8, 0x01, 0x00, 0xF8, 0x04, 0x0F, 0xF8, 0x02, 0x00,
                                       0xF7, 0x04, 0x0F, 0xF8, 0x03, 0x00, 0xF6, 0x04});
        for (int k = 0; k < 100 && serial.writes.size() < 3; ++k)
            pass();
        EXPECT_EQ(serial.writes.size(), 3u);
        std::int64_t gap = 1000000;
        for (std::size_t k = 1; k < serial.writes.size(); ++k)
            gap = std::min(gap, serial.writes[k].time_ms - serial.writes[k - 1].time_ms);
        return gap;
    };
    EXPECT_GT(shortest_gap(), 50);
    use(Control::delay_check);
    pass();
    const std::int64_t unticked = shortest_gap();
    EXPECT_GT(unticked, 5);
    EXPECT_LT(unticked, 50);
    use(Control::delay_check);
    pass();
    EXPECT_GT(shortest_gap(), 50);
}

TEST_F(WindowGateway, TheCheckBoxesShowAChangeMadeFromAnotherView) {
    start();
    auto* delay = control_of<QCheckBox>(window, Control::delay_check);
    auto* debug = control_of<QCheckBox>(window, Control::debug_check);
    ASSERT_TRUE(delay->isChecked());
    ASSERT_FALSE(debug->isChecked());
    // A browser unticks one and ticks the other: the same events as the boxes' own.
    OperatorEvent untick = OperatorEvent::used(Control::delay_check);
    untick.checked = false;
    OperatorEvent tick = OperatorEvent::used(Control::debug_check);
    tick.checked = true;
    events.post(untick);
    events.post(tick);
    pass(3);
    EXPECT_FALSE(delay->isChecked());
    EXPECT_TRUE(debug->isChecked());
}

TEST_F(WindowGateway, MessageBoxHaltsTheLoopUntilAnswered) {
    start();
    pass();
    std::int32_t polls_while_open = -1;
    std::size_t unread_while_open = 0;
    when_message_box_opens([&](QMessageBox* box) {
        const std::int32_t polls = net.polls;
        serial.deliver(button);
        QTest::qWait(150);  // Qt runs, the loop does not
        polls_while_open = net.polls - polls;
        unread_while_open = serial.incoming.size();
        click(box->button(QMessageBox::No));
    });
    use(Control::quit);
    pass();
    EXPECT_EQ(polls_while_open, 0);
    EXPECT_EQ(unread_while_open, button.size());
    EXPECT_TRUE(serial.incoming.empty());  // read in the same pass, once answered
    EXPECT_EQ(shown(), (std::vector<std::string>{hex_dump(button)}));
}

TEST_F(WindowGateway, DisconnectClosesTheClientOfTheSelectedRow) {
    start();
    const ConnectionHandle older = net.connect("192.168.1.20", 888);
    const ConnectionHandle newer = net.connect("192.168.1.21", 889);
    pass(2);
    ASSERT_EQ(clients->topLevelItemCount(), 2);

    std::string refused;
    when_message_box_opens([&](QMessageBox* box) {
        refused = text_of(box->windowTitle()) + "|" + text_of(box->text());
        click(box->button(QMessageBox::Ok));
    });
    use(Control::disconnect);
    pass();
    EXPECT_EQ(refused, "Error|No client selected.|Select a raw before clicking on this button");

    click_row(clients, 1);  // the older one
    use(Control::disconnect);
    pass(2);
    EXPECT_TRUE(net.peer(older).closed_by_gateway);
    EXPECT_FALSE(net.peer(newer).closed_by_gateway);
    EXPECT_EQ(text_of(clients->topLevelItem(1)->text(3)).empty(), false);  // its end date
}

TEST_F(WindowGateway, FirstConfigurationRunsInTheDialogUntilBothTestsPass) {
    serial.missing.insert("COM9");
    std::vector<std::string> boxes;
    const auto answer_box = [&boxes](QMessageBox* box) {
        boxes.push_back(text_of(box->windowTitle()));
        click(box->button(QMessageBox::Ok));
    };
    const auto dialog_open = [this] {
        return view.first_configuration_window() != nullptr &&
               view.first_configuration_window()->isVisible() &&
               QApplication::activeModalWidget() == nullptr;
    };
    const auto type = [](QWidget* dialog, DialogControl field, const char* text) {
        auto* edit = control_of<QLineEdit>(dialog, field);
        edit->selectAll();
        QTest::keyClicks(edit, text);
    };
    when_message_box_opens([&](QMessageBox* box) {
        answer_box(box);  // "Quillon.ini NOT FOUND"
        when(dialog_open, [&] {
            QWidget* dialog = view.first_configuration_window();
            type(dialog, DialogControl::serial_port, "COM9");
            type(dialog, DialogControl::port, "9000");
            click(control_of(dialog, DialogControl::ok));
            when_message_box_opens([&](QMessageBox* serial_box) {
                answer_box(serial_box);  // "Serial Port error"
                when(dialog_open, [&] {
                    QWidget* again = view.first_configuration_window();
                    EXPECT_EQ(text_of(control_of<QLineEdit>(again, DialogControl::port)->text()),
                              "9000");
                    type(again, DialogControl::serial_port, "COM7");
                    click(control_of(again, DialogControl::ok));
                });
            });
        });
    });
    ASSERT_EQ(start_gateway(gw), StartOutcome::running);
    EXPECT_EQ(boxes, (std::vector<std::string>{"Quillon.ini NOT FOUND", "Serial Port error"}));
    EXPECT_EQ(view.first_configuration_window(), nullptr);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(text_of(window->findChild<QLabel*>("status_field_4")->text()), "Ethernet port 9000");
    EXPECT_EQ(text_of(window->findChild<QLabel*>("status_field_3")->text()), "Velbus serial COM7");
    std::ifstream written(dir / "Quillon.ini", std::ios::binary);
    const std::string file{std::istreambuf_iterator<char>(written),
                           std::istreambuf_iterator<char>()};
    EXPECT_NE(file.find("SerialPort = COM7,38400,0,8,1,0\r\n"), std::string::npos);
}

}  // namespace
}  // namespace quillon::testing
