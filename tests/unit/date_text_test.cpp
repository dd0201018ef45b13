// Dates written with patterns: local seconds since 1970-01-01 00:00:00.
#include "base/date_text.hpp"

#include <gtest/gtest.h>

#include <ostream>

#include <cstdint>
#include <limits>
#include <string>

namespace quillon {
namespace {

struct DateCase {
    const char* name;
    Date date;
    const char* text;  // with "%yyyy-%mm-%dd %hh:%ii:%ss"
};
void PrintTo(const DateCase& c, std::ostream* os) {
    *os << c.name;
}

class FormatDate : public ::testing::TestWithParam<DateCase> {};

TEST_P(FormatDate, WritesEveryFieldZeroPadded) {
    EXPECT_EQ(format_date(date_time_pattern, GetParam().date), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Dates, FormatDate,
    ::testing::Values(DateCase{"Zero", 0, "1970-01-01 00:00:00"},
                      DateCase{"EndOfFirstDay", 86399, "1970-01-01 23:59:59"},
                      DateCase{"LeapDay2000", 951782400, "2000-02-29 00:00:00"},
                      DateCase{"AfterLeapDay2000", 951868800, "2000-03-01 00:00:00"},
                      DateCase{"LeapDay2024", 1709251199, "2024-02-29 23:59:59"},
                      DateCase{"NoLeapDayIn2100", 4107499200 + 43200, "2100-03-01 00:00:00"},
                      DateCase{"Last2100February", 4107499200, "2100-02-28 12:00:00"},
                      DateCase{"OneSecondBefore1970", -1, "1969-12-31 23:59:59"},
                      DateCase{"NoLeapDayIn1900", -2203891201, "1900-02-28 23:59:59"},
                      DateCase{"March1900", -2203891200, "1900-03-01 00:00:00"},
                      DateCase{"Year1601", -11644473600, "1601-01-01 00:00:00"},
                      DateCase{"Past32BitSeconds2038", 2147483648, "2038-01-19 03:14:08"},
                      DateCase{"Past32BitUnsigned2106", 4294967296, "2106-02-07 06:28:16"},
                      DateCase{"LastSecondOf9999", 253402300799, "9999-12-31 23:59:59"}),
    [](const ::testing::TestParamInfo<DateCase>& p) { return std::string(p.param.name); });

struct PatternCase {
    const char* name;
    const char* pattern;
    const char* text;  // for 2026-12-07 10:20:05
};
void PrintTo(const PatternCase& c, std::ostream* os) {
    *os << c.name;
}

class DatePatterns : public ::testing::TestWithParam<PatternCase> {};

TEST_P(DatePatterns, ReplaceOnlyTheSixFields) {
    EXPECT_EQ(format_date(GetParam().pattern, 1796638805), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, DatePatterns,
    ::testing::Values(PatternCase{"TimeOfDay", "%hh:%ii:%ss", "10:20:05"},
                      PatternCase{"LogFileName", "Quillon_%yyyy-%mm-%dd_%hh-%ii.log",
                                  "Quillon_2026-12-07_10-20.log"},
                      PatternCase{"Repeated", "%ss%ss", "0505"}, PatternCase{"Empty", "", ""},
                      PatternCase{"PartialFieldsAreCopied", "%y %m %h %", "%y %m %h %"},
                      PatternCase{"LiteralsAround", "[%dd]", "[07]"}),
    [](const ::testing::TestParamInfo<PatternCase>& p) { return std::string(p.param.name); });

TEST(FormatDateExtremes, TimeOfDayHoldsAtBothEndsOfTheRange) {
    EXPECT_EQ(format_date(time_of_day_pattern, std::numeric_limits<Date>::max()), "15:30:07");
    EXPECT_EQ(format_date(time_of_day_pattern, std::numeric_limits<Date>::min()), "08:29:52");
}

}  // namespace
}  // namespace quillon
