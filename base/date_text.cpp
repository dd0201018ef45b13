#include "base/date_text.hpp"

namespace quillon {
namespace {

struct CivilDate {
    std::int64_t year;
    int month;  // 1..12
    int day;    // 1..31
};

// Days since 1970-01-01 to a proleptic Gregorian date, valid for any int64
// day count that the seconds range can produce.
CivilDate civil_from_days(std::int64_t days) {
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const std::int64_t doe = days - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    return {yoe + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

void append_padded(std::string& out, std::int64_t value, std::size_t width) {
    std::string digits = std::to_string(value < 0 ? -value : value);
    if (value < 0) out += '-';
    if (digits.size() < width) out.append(width - digits.size(), '0');
    out += digits;
}

}  // namespace

DateFields date_fields(Date date) {
    constexpr std::int64_t seconds_per_day = 86400;
    std::int64_t days = date / seconds_per_day;
    std::int64_t second_of_day = date % seconds_per_day;
    if (second_of_day < 0) {
        second_of_day += seconds_per_day;
        days -= 1;
    }
    const CivilDate civil = civil_from_days(days);
    DateFields f;
    f.year = civil.year;
    f.month = civil.month;
    f.day = civil.day;
    f.hour = static_cast<int>(second_of_day / 3600);
    f.minute = static_cast<int>(second_of_day / 60 % 60);
    f.second = static_cast<int>(second_of_day % 60);
    // 1970-01-01 was a Thursday.
    f.weekday = static_cast<int>(((days + 3) % 7 + 7) % 7);
    return f;
}

std::string format_date(std::string_view pattern, Date date) {
    const DateFields f = date_fields(date);
    std::string out;
    out.reserve(pattern.size() + 8);
    std::size_t i = 0;
    while (i < pattern.size()) {
        const std::string_view rest = pattern.substr(i);
        if (rest.starts_with("%yyyy")) {
            append_padded(out, f.year, 4);
            i += 5;
        } else if (rest.starts_with("%mm")) {
            append_padded(out, f.month, 2);
            i += 3;
        } else if (rest.starts_with("%dd")) {
            append_padded(out, f.day, 2);
            i += 3;
        } else if (rest.starts_with("%hh")) {
            append_padded(out, f.hour, 2);
            i += 3;
        } else if (rest.starts_with("%ii")) {
            append_padded(out, f.minute, 2);
            i += 3;
        } else if (rest.starts_with("%ss")) {
            append_padded(out, f.second, 2);
            i += 3;
        } else {
            out += pattern[i];
            ++i;
        }
    }
    return out;
}

}  // namespace quillon
