#include "base/line_budget.hpp"

#include <limits>

namespace quillon {

bool LineBudget::take(std::int64_t now_ms) {
    if (!open_) {
        open_ = true;
        start_ms_ = now_ms;
    }
    if (written_ < per_minute_) {
        ++written_;
        return true;
    }
    ++held_;
    return false;
}

std::uint64_t LineBudget::end_minute(std::int64_t now_ms) {
    if (!open_ || now_ms - start_ms_ < journal_minute_ms) return 0;
    const std::uint64_t held = held_;
    open_ = false;
    written_ = 0;
    held_ = 0;
    return held;
}

std::int64_t LineBudget::next_due_ms() const {
    return open_ && held_ > 0 ? start_ms_ + journal_minute_ms
                              : std::numeric_limits<std::int64_t>::max();
}

}  // namespace quillon
