// What the operator's use of the window's controls does.
#include "analyzer/traffic_list_file.hpp"
#include "tests/fakes/gateway_harness.hpp"

namespace quillon::testing {
namespace {

class ControlEvents : public GatewayHarness {
  protected:
    ConnectionHandle a = 0;

    void SetUp() override {
        GatewayHarness::SetUp();
        ASSERT_EQ(start(), StartOutcome::running);
        a = net.connect("192.168.1.20", 888);
        run_pass(gw);
    }
    void passes(int n) {
        for (int i = 0; i < n; ++i)
            run_pass(gw);
    }
    // Sends `count` frames in one read and runs passes until the bus has them all.
    std::vector<std::int64_t> write_gaps(int count) {
        Bytes burst;
        for (int k = 0; k < count; ++k) {
            const Bytes f = make_frame(0xF8, static_cast<std::uint8_t>(k + 1), {0x02, 0x01});
            burst.insert(burst.end(), f.begin(), f.end());
        }
        const std::size_t first = serial.writes.size();
        net.client_sends(a, burst);
        for (int guard = 0;
             guard < 200 && serial.writes.size() < first + static_cast<std::size_t>(count); ++guard)
            run_pass(gw);
        std::vector<std::int64_t> gaps;
        for (std::size_t k = first + 1; k < serial.writes.size(); ++k)
            gaps.push_back(serial.writes[k].time_ms - serial.writes[k - 1].time_ms);
        return gaps;
    }
};

TEST_F(ControlEvents, ClearEmptiesTheTrafficListOnly) {
    serial.deliver(make_frame(0xFB, 0x05, {0x0A}));
    clock.now = 2500;  // past a statistics refresh
    passes(2);
    ASSERT_FALSE(view.traffic.empty());
    const auto clients = view.clients.size();
    const auto status = view.status;
    const auto rates = view.rates;
    const auto graphs = view.graphs.size();

    view.click(Control::clear);
    run_pass(gw);

    EXPECT_TRUE(view.traffic.empty());
    EXPECT_EQ(view.clients.size(), clients);
    EXPECT_EQ(view.status, status);
    EXPECT_EQ(view.rates, rates);
    EXPECT_EQ(view.graphs.size(), graphs);
}

TEST_F(ControlEvents, TheDelayBoxSwitchesBetween50And5MsPacing) {
    view.set_checked(Control::delay_check, false);
    run_pass(gw);
    for (const std::int64_t gap : write_gaps(4)) {
        EXPECT_GT(gap, 5);
        EXPECT_LT(gap, 50);
    }

    view.set_checked(Control::delay_check, true);
    run_pass(gw);
    const auto gaps = write_gaps(3);
    ASSERT_EQ(gaps.size(), 2u);
    for (const std::int64_t gap : gaps)
        EXPECT_GT(gap, 50);
}

TEST_F(ControlEvents, FilterButtonsActOnlyOnRowsAddedAfterwards) {
    serial.deliver(make_frame(0xFB, 0x05, {0x0A}));
    run_pass(gw);
    ASSERT_EQ(view.traffic.size(), 1u);
    const TrafficRow shown = view.traffic.front();

    view.set_checked(Control::filter_toggle, true);
    view.set_checked(Control::invert_toggle, false);
    view.type_filter("0ff8");
    passes(3);
    ASSERT_EQ(view.traffic.size(), 1u);
    EXPECT_EQ(view.traffic.front().cells, shown.cells);

    serial.deliver(make_frame(0xFB, 0x06, {0x0A}));
    run_pass(gw);
    serial.deliver(make_frame(0xF8, 0x07, {0x0A}));
    run_pass(gw);
    ASSERT_EQ(view.traffic.size(), 2u);
    EXPECT_EQ(view.traffic.front().cell(TrafficColumn::hex).substr(0, 4), "0FF8");

    // "!" down: the rows that hold the text are the ones hidden.
    view.set_checked(Control::invert_toggle, true);
    run_pass(gw);
    serial.deliver(make_frame(0xF8, 0x08, {0x0A}));
    run_pass(gw);
    serial.deliver(make_frame(0xFB, 0x09, {0x0A}));
    run_pass(gw);
    ASSERT_EQ(view.traffic.size(), 3u);
    EXPECT_EQ(view.traffic.front().cell(TrafficColumn::hex).substr(0, 6), "0FFB09");
}

TEST_F(ControlEvents, TheHelpButtonOpensTheGuideAndNothingElse) {
    view.click(Control::help);
    EXPECT_TRUE(run_pass(gw));
    EXPECT_EQ(view.user_guide_opened, 1);
    EXPECT_TRUE(view.messages.empty());
    EXPECT_TRUE(view.questions.empty());
}

TEST_F(ControlEvents, ASaveThatCannotBeWrittenSaysSoNamingTheFile) {
    gw.setup.data_directory = dir / "gone";
    view.click(Control::save);
    EXPECT_TRUE(run_pass(gw));
    ASSERT_EQ(view.messages.size(), 1u);
    EXPECT_EQ(view.messages[0].title, "Save Error");
    EXPECT_EQ(view.messages[0].text, "Can't write the traffic list to " + (dir / "gone").string() +
                                         "/" + traffic_list_file_name(clock.local_date()));
    EXPECT_EQ(view.messages[0].icon, MessageIcon::error);
}

}  // namespace
}  // namespace quillon::testing
