#include "ui/statistics.hpp"

#include <algorithm>

#include "core/gateway.hpp"

namespace quillon {
namespace {

constexpr Rgb rx_background{221, 255, 221};
constexpr Rgb rx_bar{0, 119, 0};
constexpr Rgb tx_background{221, 221, 255};
constexpr Rgb tx_bar{0, 0, 119};

// A bar grows one pixel per 60 bit/s; from 1440 bit/s up a column is full.
std::int64_t bar_height(std::int64_t bits_per_second) {
    return bits_per_second * 25 / 1500;
}

void put_pixel(RgbImage& image, int x, int y, Rgb c) {
    const auto i = static_cast<std::size_t>((y * image.width + x) * 3);
    image.pixels[i] = c.r;
    image.pixels[i + 1] = c.g;
    image.pixels[i + 2] = c.b;
}

}  // namespace

std::string rate_text(std::int64_t bits_per_second) {
    return std::to_string(bits_per_second) + ".0";
}

RgbImage render_graph(const std::deque<BandwidthSample>& history, GraphSide side) {
    const bool rx = side == GraphSide::received;
    const Rgb background = rx ? rx_background : tx_background;
    const Rgb bar = rx ? rx_bar : tx_bar;
    RgbImage image(graph_width, graph_height);
    for (int y = 0; y < graph_height; ++y) {
        for (int x = 0; x < graph_width; ++x)
            put_pixel(image, x, y, background);
    }
    int x = 0;
    for (const BandwidthSample& s : history) {
        if (x >= graph_width) break;  // the newest sample waits outside the picture
        const std::int64_t h = rx ? s.rx_height : s.tx_height;
        // A line from (x, 24) to (x, 24 - h), both ends included, cut at the image's edges.
        const std::int64_t top = std::clamp<std::int64_t>(24 - h, 0, 24);
        for (std::int64_t y = top; y <= 24; ++y)
            put_pixel(image, x, static_cast<int>(y), bar);
        ++x;
    }
    return image;
}

std::string uptime_text(std::int64_t d) {
    constexpr std::int64_t year = 31536000;
    constexpr std::int64_t month = 2635200;
    constexpr std::int64_t day = 86400;
    const std::int64_t y = d / year;
    const std::int64_t m = (d - y * year) / month;
    const std::int64_t t = (d - y * year - m * month) / day;
    return "UpTime: " + std::to_string(y) + "y " + std::to_string(m) + "m " + std::to_string(t) +
           "d and " + format_date(time_of_day_pattern, d);
}

void refresh_statistics(Gateway& gw) {
    GatewayState& s = gw.state;
    s.stats_started_ms = gw.clock.now_ms();
    const std::int64_t seconds = (s.stats_started_ms - s.last_stats_ms) / 1000;
    if (seconds <= 0) return;
    const std::int64_t rx_bps = std::int64_t{s.bus_rx_bytes} * 8 / seconds;
    const std::int64_t tx_bps = std::int64_t{s.bus_tx_bytes} * 8 / seconds;
    gw.view.set_rate_field(control::rx_rate, rate_text(rx_bps));
    gw.view.set_rate_field(control::tx_rate, rate_text(tx_bps));

    gw.bandwidth_history.push_back({bar_height(tx_bps), bar_height(rx_bps)});
    gw.bandwidth_history.pop_front();
    gw.view.show_graph(control::rx_graph, render_graph(gw.bandwidth_history, GraphSide::received));
    gw.view.show_graph(control::tx_graph, render_graph(gw.bandwidth_history, GraphSide::sent));

    s.bus_tx_bytes = 0;
    s.bus_rx_bytes = 0;
    s.last_stats_ms = gw.clock.now_ms();
}

void refresh_uptime(Gateway& gw) {
    const Date now = gw.clock.local_date();
    gw.view.set_status_field(status_field::uptime, uptime_text(now - gw.state.start_date));
    gw.view.set_status_field(status_field::clock, format_date(time_of_day_pattern, now));
}

}  // namespace quillon
