#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quillon {

// A date is local wall-clock time in whole seconds since 1970-01-01 00:00:00,
// that is the epoch time plus the local offset from UTC. Formatting applies no
// further time-zone shift, so 0 always reads 1970-01-01 00:00:00.
using Date = std::int64_t;

// A date's calendar fields; weekday counts from Monday (0) to Sunday (6).
struct DateFields {
    std::int64_t year = 1970;
    int month = 1;  // 1..12
    int day = 1;    // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;
    int weekday = 3;
};
DateFields date_fields(Date date);

// Replaces "%yyyy", "%mm", "%dd", "%hh", "%ii" and "%ss" in `pattern` with the
// zero-padded fields of `date`; every other character is copied.
std::string format_date(std::string_view pattern, Date date);

// The usual patterns, spelled once.
inline constexpr std::string_view date_time_pattern = "%yyyy-%mm-%dd %hh:%ii:%ss";
inline constexpr std::string_view time_of_day_pattern = "%hh:%ii:%ss";

}  // namespace quillon
