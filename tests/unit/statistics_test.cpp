// The once-a-second statistics: bit rates, the bandwidth history and its
// graphs, the uptime and clock fields, and the rhythm that drives them.
#include <string>
#include <vector>

#include "tests/fakes/gateway_harness.hpp"
#include "ui/statistics.hpp"

namespace quillon::testing {
namespace {

constexpr Rgb kRxBackground{221, 255, 221};
constexpr Rgb kRxBar{0, 119, 0};
constexpr Rgb kTxBackground{221, 221, 255};
constexpr Rgb kTxBar{0, 0, 119};

// The number of coloured pixels in column x, and whether they are the lowest ones.
int bar_pixels(const RgbImage& image, int x, Rgb bar, Rgb background) {
    int n = 0;
    for (int y = 0; y < image.height; ++y) {
        const Rgb c = image.at(x, y);
        EXPECT_TRUE(c == bar || c == background) << "pixel " << x << "," << y;
        if (c == bar) {
            ++n;
        } else {
            EXPECT_EQ(n, 0) << "a gap under the bar in column " << x;
        }
    }
    return n;
}

// The statistics record alone, started at 10:20:00 with the clock at 5000 ms.
class StatisticsRecord : public ::testing::Test {
  protected:
    static constexpr std::int64_t start_ms = 5000;
    FakeClock clock;
    FakeView view{clock};
    NoViewWatcher watcher;
    quillon::Statistics stats;
    Date start_date = clock.date_at_zero;

    void SetUp() override { stats.start(start_ms, start_date); }
    bool refresh_at(std::int64_t ms, std::int32_t rx_bytes, std::int32_t tx_bytes) {
        return stats.refresh(start_ms + ms, rx_bytes, tx_bytes, view, watcher);
    }
};

// ---- Rates ----

struct RateCase {
    const char* name;
    std::int32_t rx_bytes;
    std::int32_t tx_bytes;
    std::int64_t after_ms;
    const char* rx_text;
    const char* tx_text;
    std::int64_t rx_height;
    std::int64_t tx_height;
};
void PrintTo(const RateCase& c, std::ostream* os) {
    *os << c.name;
}

class Rates : public StatisticsRecord, public ::testing::WithParamInterface<RateCase> {};

TEST_P(Rates, AreBitsPerWholeSecondWithOneDecimal) {
    const RateCase& c = GetParam();
    ASSERT_TRUE(refresh_at(c.after_ms, c.rx_bytes, c.tx_bytes));
    EXPECT_EQ(view.rates[Control::rx_rate], c.rx_text);
    EXPECT_EQ(view.rates[Control::tx_rate], c.tx_text);
    ASSERT_EQ(stats.history().size(), bandwidth_history_samples);
    EXPECT_EQ(stats.history().back().rx_height, c.rx_height);
    EXPECT_EQ(stats.history().back().tx_height, c.tx_height);
    // The next second counts from this refresh.
    EXPECT_EQ(stats.refresh_started_ms(), start_ms + c.after_ms);
    EXPECT_FALSE(stats.due(start_ms + c.after_ms + 1000));
    EXPECT_TRUE(stats.due(start_ms + c.after_ms + 1001));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Rates,
    ::testing::Values(
        RateCase{"Idle", 0, 0, 1001, "0.0", "0.0", 0, 0},
        RateCase{"Received150BytesInOneSecond", 150, 0, 1001, "1200.0", "0.0", 20, 0},
        RateCase{"Sent30BytesInOneSecond", 0, 30, 1001, "0.0", "240.0", 0, 4},
        RateCase{"HundredBytesIn1999MsIsOneSecond", 100, 0, 1999, "800.0", "0.0", 13, 0},
        RateCase{"TwoSecondsHalveTheRate", 300, 300, 2000, "1200.0", "1200.0", 20, 20},
        RateCase{"FullScaleAndBeyond", 1000, 180, 1001, "8000.0", "1440.0", 133, 24}),
    [](const ::testing::TestParamInfo<RateCase>& p) { return std::string(p.param.name); });

TEST_F(StatisticsRecord, RefreshWithinTheFirstSecondChangesNothingButItsStart) {
    EXPECT_FALSE(refresh_at(999, 150, 0));
    EXPECT_EQ(stats.refresh_started_ms(), start_ms + 999);
    EXPECT_TRUE(view.rates.empty());
    EXPECT_TRUE(view.graphs.empty());
    EXPECT_FALSE(stats.due(start_ms + 1000));
    EXPECT_TRUE(stats.due(start_ms + 1001));
}

// ---- Graphs ----

struct GraphSideCase {
    const char* name;
    Control control;
    Rgb background;
    Rgb bar;
};
void PrintTo(const GraphSideCase& c, std::ostream* os) {
    *os << c.name;
}

class Graph : public StatisticsRecord, public ::testing::WithParamInterface<GraphSideCase> {};

TEST_P(Graph, IdleShowsOnlyTheBottomRowInTheBarColour) {
    const GraphSideCase& c = GetParam();
    ASSERT_TRUE(refresh_at(1001, 0, 0));
    ASSERT_EQ(view.graphs.count(c.control), 1u);
    const RgbImage& image = view.graphs[c.control];
    ASSERT_EQ(image.width, 110);
    ASSERT_EQ(image.height, 25);
    for (int x = 0; x < image.width; ++x) {
        EXPECT_EQ(image.at(x, 24), c.bar) << "column " << x;
        EXPECT_EQ(bar_pixels(image, x, c.bar, c.background), 1) << "column " << x;
    }
}

TEST_P(Graph, NewestSampleEntersThePictureOneRefreshLater) {
    const GraphSideCase& c = GetParam();
    // 1200 bit/s: 20 pixels and the bottom row.
    ASSERT_TRUE(refresh_at(1001, 150, 150));
    EXPECT_EQ(bar_pixels(view.graphs[c.control], 109, c.bar, c.background), 1);
    ASSERT_TRUE(refresh_at(2002, 0, 0));
    const RgbImage& image = view.graphs[c.control];
    EXPECT_EQ(bar_pixels(image, 109, c.bar, c.background), 21);
    EXPECT_EQ(bar_pixels(image, 108, c.bar, c.background), 1);
    EXPECT_EQ(image.at(109, 3), c.background);
    EXPECT_EQ(image.at(109, 4), c.bar);
}

INSTANTIATE_TEST_SUITE_P(
    Sides, Graph,
    ::testing::Values(GraphSideCase{"Received", Control::rx_graph, kRxBackground, kRxBar},
                      GraphSideCase{"Sent", Control::tx_graph, kTxBackground, kTxBar}),
    [](const ::testing::TestParamInfo<GraphSideCase>& p) { return std::string(p.param.name); });

TEST(GraphDrawing, BarHeightsFrom24UpFillTheColumnAndTheNewestStaysOutside) {
    std::deque<BandwidthSample> history(bandwidth_history_samples);
    const std::vector<std::int64_t> heights{0, 1, 23, 24, 25, 1000};
    for (std::size_t k = 0; k < heights.size(); ++k) {
        history[k].rx_height = heights[k];
        history[k].tx_height = heights[heights.size() - 1 - k];
    }
    history.back() = {24, 24};  // column 110: outside the picture
    const RgbImage rx = render_graph(history, GraphSide::received);
    const RgbImage tx = render_graph(history, GraphSide::sent);
    const std::vector<int> rx_pixels{1, 2, 24, 25, 25, 25};
    for (std::size_t k = 0; k < heights.size(); ++k) {
        const int x = static_cast<int>(k);
        EXPECT_EQ(bar_pixels(rx, x, kRxBar, kRxBackground), rx_pixels[k]) << "column " << k;
        EXPECT_EQ(bar_pixels(tx, x, kTxBar, kTxBackground), rx_pixels[heights.size() - 1 - k])
            << "column " << k;
    }
    EXPECT_EQ(bar_pixels(rx, 109, kRxBar, kRxBackground), 1);
    EXPECT_EQ(bar_pixels(tx, 109, kTxBar, kTxBackground), 1);
}

// ---- Uptime and clock ----

struct UptimeCase {
    const char* name;
    std::int64_t seconds;
    const char* text;
};
void PrintTo(const UptimeCase& c, std::ostream* os) {
    *os << c.name;
}

class Uptime : public StatisticsRecord, public ::testing::WithParamInterface<UptimeCase> {};

TEST_P(Uptime, IsWrittenInYearsMonthsDaysAndTimeOfDay) {
    const UptimeCase& c = GetParam();
    stats.refresh_uptime(start_date + c.seconds, view);
    EXPECT_EQ(view.status[StatusField::uptime], c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Uptime,
    ::testing::Values(UptimeCase{"FiveSeconds", 5, "UpTime: 0y 0m 0d and 00:00:05"},
                      UptimeCase{"FortyFiveDaysThreeHours", 45 * 86400 + 3 * 3600,
                                 "UpTime: 0y 1m 14d and 03:00:00"},
                      UptimeCase{"FourHundredDays", 400 * 86400, "UpTime: 1y 1m 4d and 00:00:00"},
                      UptimeCase{"JustUnderADay", 86399, "UpTime: 0y 0m 0d and 23:59:59"}),
    [](const ::testing::TestParamInfo<UptimeCase>& p) { return std::string(p.param.name); });

TEST_F(StatisticsRecord, ClockFieldShowsTheTimeOfDay) {
    stats.refresh_uptime(start_date + 1 + 3 * 3600 + 61, view);  // 10:20:01 + 3 h 1 min 1 s
    EXPECT_EQ(view.status[StatusField::clock], "13:21:02");
}

// ---- The rhythm of the loop ----

class StatisticsRhythm : public GatewayHarness,
                         public ::testing::WithParamInterface<std::int64_t> {};

TEST_P(StatisticsRhythm, KeepsItsOneSecondPeriodWhateverTheClockReads) {
    clock.now = GetParam();
    ASSERT_EQ(start(), StartOutcome::running);
    std::vector<std::int64_t> refreshes;
    std::string rx_rate;
    const std::int64_t end = clock.now + 5005;  // the loop sleeps from one refresh to the next
    while (clock.now < end) {
        view.rates.clear();
        run_pass(gw);
        if (view.rates.empty()) continue;
        refreshes.push_back(clock.now);
        rx_rate = view.rates[Control::rx_rate];
    }
    ASSERT_EQ(refreshes.size(), 5u);
    std::int64_t previous = GetParam();
    for (const std::int64_t t : refreshes) {
        EXPECT_GT(t - previous, 1000);
        EXPECT_LE(t - previous, 1025);
        previous = t;
    }
    EXPECT_EQ(rx_rate, "0.0");
    EXPECT_EQ(view.status[StatusField::uptime], "UpTime: 0y 0m 0d and 00:00:05");
}

INSTANTIATE_TEST_SUITE_P(ClockValues, StatisticsRhythm,
                         ::testing::Values(std::int64_t{1000}, (std::int64_t{1} << 31) - 2500,
                                           (std::int64_t{1} << 32) - 2500,
                                           (std::int64_t{1} << 40) + 7),
                         [](const ::testing::TestParamInfo<std::int64_t>& p) {
                             return "At" + std::to_string(p.param);
                         });

}  // namespace
}  // namespace quillon::testing
