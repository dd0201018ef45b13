// The headless operator console: commands become the window's control events,
// rows become lines, and the first-configuration questions are asked on the
// terminal.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/console/console_view.hpp"
#include "platform/qt/event_waiter.hpp"
#include "platform/qt/operator_events.hpp"
#include "real_io_support.hpp"

namespace quillon {
namespace {

// Standard output and error as memory, standard input as a pipe the test writes.
class Console : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(::pipe(input_), 0); }
    void TearDown() override {
        view_.reset();
        ::close(input_[0]);
        if (input_[1] >= 0) ::close(input_[1]);
    }
    ConsoleView& make(bool terminal, bool colour = false) {
        ConsoleView::Options o;
        o.out = out_.file();
        o.err = err_.file();
        o.input_fd = input_[0];
        o.terminal = terminal;
        o.colour = colour;
        view_ = std::make_unique<ConsoleView>(events_, o);
        return *view_;
    }
    void type(const std::string& text) {
        ASSERT_EQ(::write(input_[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    void end_input() {
        ::close(input_[1]);
        input_[1] = -1;
    }
    std::string out() { return out_.text(); }
    std::string err() { return err_.text(); }

    // The next event, waiting up to two seconds for the typed line to be read.
    OperatorEvent next_event() { return events_.wait_event(2000); }

    EventWaiter waiter_;
    OperatorEventQueue events_{waiter_};
    // Declared before the view, which writes to them until it goes.
    quillon::testing::CapturedStream out_;
    quillon::testing::CapturedStream err_;
    std::unique_ptr<ConsoleView> view_;
    int input_[2] = {-1, -1};
};

TEST_F(Console, TypedCommandsArriveAsControlEventsWithTheControlsStates) {
    make(false);
    type("filter 0ff8\ninvert on\ndelay off\ndebug on\nclear\nsave\ndisconnect-all\nquit\n");
    struct Expected {
        Control control;
        bool checked;
        std::string text;
    };
    const Expected expected[] = {
        {Control::filter_text, false, "0ff8"},
        {Control::filter_toggle, true, ""},
        {Control::invert_toggle, true, ""},
        {Control::delay_check, false, ""},
        {Control::debug_check, true, ""},
        {Control::clear, false, ""},
        {Control::save, false, ""},
        {Control::disconnect_all, false, ""},
        {Control::quit, false, ""},
    };
    for (const Expected& x : expected) {
        const OperatorEvent e = next_event();
        EXPECT_EQ(e.kind, OperatorEventKind::control);
        EXPECT_EQ(e.control, x.control);
        EXPECT_EQ(e.checked, x.checked) << "control " << number_of(x.control);
        EXPECT_EQ(e.text, x.text) << "control " << number_of(x.control);
    }

    type("filter off\n");
    const OperatorEvent off = next_event();
    EXPECT_EQ(off.control, Control::filter_toggle);
    EXPECT_FALSE(off.checked);
}

TEST_F(Console, MistypedCommandsChangeNothingAndSaySo) {
    make(false);
    type("invert maybe\nfrobnicate\n");
    EXPECT_EQ(events_.wait_event(300).kind, OperatorEventKind::none);
    EXPECT_NE(err().find("invert: say on or off"), std::string::npos);
    EXPECT_NE(err().find("unknown command \"frobnicate\""), std::string::npos);
}

TEST_F(Console, DisconnectNamesTheClientAtThatAddressAndPortLiveFirst) {
    ConsoleView& view = make(false);
    const auto row = [](std::int32_t client, const char* address, std::uint16_t port, bool live) {
        ClientRow r;
        r.cell(ClientColumn::address) = "shown text";  // the console does not read what is shown
        r.client = client;
        r.address = address;
        r.port = port;
        r.live = live;
        return r;
    };
    view.show_clients({row(11, "10.0.0.3", 888, true), row(12, "10.0.0.2", 888, false),
                       row(13, "10.0.0.2", 888, true), row(14, "10.0.0.4", 7, false)});
    type("disconnect 10.0.0.2:888\n");
    OperatorEvent e = next_event();
    EXPECT_EQ(e.control, Control::disconnect);
    EXPECT_EQ(e.client, 13);

    // An ended client is named too: the gateway answers "No client to remove.".
    type("disconnect 10.0.0.4:7\n");
    EXPECT_EQ(next_event().client, 14);

    type("disconnect 10.0.0.9:1\n");
    e = next_event();
    EXPECT_EQ(e.control, Control::disconnect);
    EXPECT_EQ(e.client, 0);  // the gateway then says none is selected
}

TEST_F(Console, GivesTheInputItsBlockingModeBack) {
    const int before = ::fcntl(input_[0], F_GETFL);
    make(false);
    EXPECT_NE(::fcntl(input_[0], F_GETFL) & O_NONBLOCK, 0);
    view_.reset();
    EXPECT_EQ(::fcntl(input_[0], F_GETFL), before);
}

TEST_F(Console, RowsArePrintedWithTheTrafficListsTextsAndColourOnlyOnATerminal) {
    TrafficRow row;
    row.cells = {"", "10:20:05.41", "0FF800010BED04", "7", "ED", "$00  from VelBUS"};
    row.icon = icon_bus_frame;
    row.colour = {150, 190, 30};
    make(false).traffic_insert_top(row);
    const std::string plain = out();
    EXPECT_EQ(plain.rfind("<-  10:20:05.41", 0), 0u);
    EXPECT_NE(plain.find("0FF800010BED04"), std::string::npos);
    EXPECT_NE(plain.find("$00  from VelBUS\n"), std::string::npos);
    EXPECT_EQ(plain.find('\x1b'), std::string::npos);

    make(false, true).traffic_insert_top(row);
    EXPECT_NE(out().find("\x1b[38;2;150;190;30m<-  10:20:05.41"), std::string::npos);
}

TEST_F(Console, FirstConfigurationQuestionsOnATerminal) {
    ConsoleView& view = make(true);
    type("auto\n80a0\n9000\nRS\n");
    const FirstConfigurationAnswer a = view.ask_first_configuration();
    EXPECT_EQ(a.action, FirstConfigurationAnswer::Action::ok);
    EXPECT_EQ(a.serial_port_name, "auto");
    EXPECT_EQ(a.port_text, "9000");  // letters are refused and the question asked again
    EXPECT_TRUE(a.rs_module);
    EXPECT_NE(err().find("/dev/ttyACM0"), std::string::npos);
    EXPECT_EQ(err().find("COM"), std::string::npos);
    EXPECT_NE(err().find("digits only"), std::string::npos);
}

TEST_F(Console, FirstConfigurationEndsOnAnEmptyAnswerTheInputsEndOrWithoutATerminal) {
    type("/dev/ttyUSB1\n\n");
    EXPECT_EQ(make(true).ask_first_configuration().action, FirstConfigurationAnswer::Action::quit);
    type("/dev/ttyUSB1\n");
    end_input();
    EXPECT_EQ(make(true).ask_first_configuration().action, FirstConfigurationAnswer::Action::quit);
    EXPECT_EQ(make(false).ask_first_configuration().action,
              FirstConfigurationAnswer::Action::unavailable);
}

}  // namespace
}  // namespace quillon
