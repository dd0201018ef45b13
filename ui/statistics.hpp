#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include "ui/operator_view.hpp"

namespace quillon {

struct Gateway;
struct BandwidthSample;

inline constexpr int graph_width = 110;
inline constexpr int graph_height = 25;

enum class GraphSide { received, sent };

// A rate with exactly one digit after the point: 1234 gives "1234.0".
std::string rate_text(std::int64_t bits_per_second);

// The scrolling bar graph of one side: a bar per sample, oldest on the left.
RgbImage render_graph(const std::deque<BandwidthSample>& history, GraphSide side);

// "UpTime: Yy Mm Dd and hh:ii:ss" for an uptime in seconds.
std::string uptime_text(std::int64_t seconds);

// Once a second: the bit rates, the history and both graphs.
void refresh_statistics(Gateway& gw);
// Once a second, after the statistics: status-bar fields 0 and 5.
void refresh_uptime(Gateway& gw);

}  // namespace quillon
