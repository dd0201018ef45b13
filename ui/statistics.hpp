#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include "base/date_text.hpp"
#include "ui/operator_view.hpp"
#include "ui/view_watcher.hpp"

namespace quillon {

inline constexpr int graph_width = 110;
inline constexpr int graph_height = 25;
inline constexpr std::size_t bandwidth_history_samples = 111;
inline constexpr std::int64_t statistics_period_ms = 1000;

struct BandwidthSample {
    std::int64_t tx_height = 0;  // pixels
    std::int64_t rx_height = 0;  // pixels
};

enum class GraphSide { received, sent };

// A rate with exactly one digit after the point: 1234 gives "1234.0".
std::string rate_text(std::int64_t bits_per_second);

// The scrolling bar graph of one side: a bar per sample, oldest on the left.
RgbImage render_graph(const std::deque<BandwidthSample>& history, GraphSide side);

// "UpTime: Yy Mm Dd and hh:ii:ss" for an uptime in seconds.
std::string uptime_text(std::int64_t seconds);

// Once a second: the bit rates to and from the bus, their history and graphs,
// and the uptime since the loop began.
class Statistics {
  public:
    Statistics() { history_.assign(bandwidth_history_samples, BandwidthSample{}); }

    // The loop begins: the uptime counts from `start_date`.
    void start(std::int64_t now_ms, Date start_date);

    // More than a second since the last refresh.
    bool due(std::int64_t now_ms) const { return now_ms - last_refresh_ms_ > statistics_period_ms; }
    std::int64_t next_due_ms() const { return last_refresh_ms_ + statistics_period_ms + 1; }
    // When the latest refresh began.
    std::int64_t refresh_started_ms() const { return refresh_started_ms_; }

    // Rates from the bytes counted since the last refresh; false (nothing
    // shown) when less than a whole second has passed. The watcher gets the
    // samples, the view the graphs drawn from them.
    bool refresh(std::int64_t now_ms, std::int32_t received_bytes, std::int32_t written_bytes,
                 OperatorView& view, ViewWatcher& watcher);
    void refresh_uptime(Date now, OperatorView& view) const;

    const std::deque<BandwidthSample>& history() const { return history_; }
    // The rates of the latest refresh, in bit/s.
    std::int64_t rx_bps() const { return rx_bps_; }
    std::int64_t tx_bps() const { return tx_bps_; }

  private:
    std::deque<BandwidthSample> history_;
    std::int64_t refresh_started_ms_ = 0;
    std::int64_t last_refresh_ms_ = 0;
    Date start_date_ = 0;
    std::int64_t rx_bps_ = 0;
    std::int64_t tx_bps_ = 0;
};

}  // namespace quillon
