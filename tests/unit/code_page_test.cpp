// Text at the system's edges: UTF-8 to the Windows-1252 code page of the
// analyzer feed and the debug log, and Latin-1 settings text to UTF-8.
#include "base/code_page.hpp"

#include <gtest/gtest.h>

#include <ostream>

#include <string>

namespace quillon {
namespace {

struct Cp1252Case {
    const char* name;
    std::string utf8;
    std::string cp1252;
};
void PrintTo(const Cp1252Case& c, std::ostream* os) {
    *os << c.name;
}

class ToCp1252 : public ::testing::TestWithParam<Cp1252Case> {};

TEST_P(ToCp1252, GivesOneByteACharacterAndQuestionMarksForTheRest) {
    EXPECT_EQ(utf8_to_cp1252(GetParam().utf8), GetParam().cp1252);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ToCp1252,
    ::testing::Values(Cp1252Case{"Ascii", "V->N,0F,7", "V->N,0F,7"},
                      Cp1252Case{"Degree", "21.5°C",
                                 "21.5\xB0"
                                 "C"},
                      Cp1252Case{"Guillemet", "»Bad CSum ED",
                                 "\xBB"
                                 "Bad CSum ED"},
                      Cp1252Case{"Euro", "€", "\x80"},
                      Cp1252Case{"HighRowOfTheCodePage", "Ÿš‰", "\x9F\x9A\x89"},
                      Cp1252Case{"LastLatin1", "ÿ", "\xFF"}, Cp1252Case{"Cjk", "a中b", "a?b"},
                      Cp1252Case{"FourByteCharacter", "x\xF0\x9F\x98\x80y", "x?y"},
                      Cp1252Case{"C1ControlIsNotInTheCodePage", "\xC2\x81", "?"},
                      Cp1252Case{"LoneContinuationByte", "a\x80z", "a?z"},
                      Cp1252Case{"TruncatedAtTheEnd", "a\xE2\x82", "a??"},
                      Cp1252Case{"TruncatedBeforeAscii", "\xE2\x82z", "??z"},
                      Cp1252Case{"OverlongSlash", "\xC0\xAF", "??"},
                      Cp1252Case{"OverlongThreeBytes", "\xE0\x80\xAF", "???"},
                      Cp1252Case{"Surrogate", "\xED\xA0\x80", "???"},
                      Cp1252Case{"BeyondUnicode", "\xF4\x90\x80\x80", "????"},
                      Cp1252Case{"InvalidLeadByte", "\xFF", "?"}, Cp1252Case{"Empty", "", ""}),
    [](const ::testing::TestParamInfo<Cp1252Case>& p) { return std::string(p.param.name); });

TEST(Latin1ToUtf8, EveryByteIsOneCharacter) {
    EXPECT_EQ(latin1_to_utf8("COM1"), "COM1");
    EXPECT_EQ(latin1_to_utf8("\xB0"), "°");
    EXPECT_EQ(latin1_to_utf8("\xE9t\xE9"), "été");
    EXPECT_EQ(latin1_to_utf8("\xFF"), "ÿ");
    EXPECT_EQ(latin1_to_utf8(std::string(1, '\0')), std::string(1, '\0'));
}

TEST(Latin1ToUtf8, RoundTripsThroughTheCodePageOutsideTheC1Controls) {
    std::string all;
    std::string expected;
    for (int b = 0; b < 256; ++b) {
        all += static_cast<char>(b);
        // 0x80..0x9F are control characters in Latin-1, which the code page lacks.
        expected += b >= 0x80 && b <= 0x9F ? '?' : static_cast<char>(b);
    }
    const std::string utf8 = latin1_to_utf8(all);
    EXPECT_EQ(utf8.size(), 128u + 2u * 128u);
    EXPECT_EQ(utf8_to_cp1252(utf8), expected);
}

TEST(AppendUtf8, WritesOneToFourBytesAndReplacesInvalidCodePoints) {
    std::string out;
    append_utf8(out, U'A');
    append_utf8(out, U'°');
    append_utf8(out, U'€');
    append_utf8(out, U'\U0001F600');
    EXPECT_EQ(out, "A°€\xF0\x9F\x98\x80");
    std::string bad;
    append_utf8(bad, 0xD800);
    append_utf8(bad, 0x110000);
    EXPECT_EQ(bad, "\xEF\xBF\xBD\xEF\xBF\xBD");
}

}  // namespace
}  // namespace quillon
