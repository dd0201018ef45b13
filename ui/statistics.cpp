#include "ui/statistics.hpp"

#include <algorithm>

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
    const auto i = (static_cast<std::size_t>(y) * static_cast<std::size_t>(image.width) +
                    static_cast<std::size_t>(x)) *
                   3;
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

void Statistics::start(std::int64_t now_ms, Date start_date) {
    history_.assign(bandwidth_history_samples, BandwidthSample{});
    refresh_started_ms_ = 0;
    last_refresh_ms_ = now_ms;
    start_date_ = start_date;
}

bool Statistics::refresh(std::int64_t now_ms, std::int32_t received_bytes,
                         std::int32_t written_bytes, OperatorView& view, ViewWatcher& watcher) {
    refresh_started_ms_ = now_ms;
    const std::int64_t seconds = (refresh_started_ms_ - last_refresh_ms_) / 1000;
    if (seconds <= 0) return false;
    const std::int64_t rx_bps = std::int64_t{received_bytes} * 8 / seconds;
    const std::int64_t tx_bps = std::int64_t{written_bytes} * 8 / seconds;
    rx_bps_ = rx_bps;
    tx_bps_ = tx_bps;
    view.set_rate_field(Control::rx_rate, rate_text(rx_bps));
    view.set_rate_field(Control::tx_rate, rate_text(tx_bps));

    history_.push_back({bar_height(tx_bps), bar_height(rx_bps)});
    history_.pop_front();
    watcher.add_bandwidth_sample(history_.back().rx_height, history_.back().tx_height);
    if (view.shows_graphs()) {
        view.show_graph(Control::rx_graph, render_graph(history_, GraphSide::received));
        view.show_graph(Control::tx_graph, render_graph(history_, GraphSide::sent));
    }
    last_refresh_ms_ = now_ms;
    return true;
}

void Statistics::refresh_uptime(Date now, OperatorView& view) const {
    view.set_status_field(StatusField::uptime, uptime_text(now - start_date_));
    view.set_status_field(StatusField::clock, format_date(time_of_day_pattern, now));
}

}  // namespace quillon
