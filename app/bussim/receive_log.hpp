#pragma once

#include <chrono>
#include <string>

#include "app/bussim/frame.hpp"

namespace quillon::bussim {

// One line per frame received: local arrival time with milliseconds, the hex dump, and
// the verdict when the frame is not valid. No line end.
std::string log_line(std::chrono::system_clock::time_point arrival, const Cut& cut);

}  // namespace quillon::bussim
