#include "core/settings.hpp"

#include <gtest/gtest.h>

#include <ostream>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <string_view>

#include "platform/posix/posix_files.hpp"

namespace quillon {
namespace {

using namespace std::string_literals;

Settings read(std::string_view bytes) {
    return read_settings(bytes);
}

void expect_default_serial(const Settings& s) {
    EXPECT_EQ(s.serial_settings, "COM1,38400,0,8,1,0");
    EXPECT_EQ(s.serial.name, "COM1");
    EXPECT_EQ(s.serial.baud, 38400);
    EXPECT_EQ(s.serial.parity, 0);
    EXPECT_EQ(s.serial.data_bits, 8);
    EXPECT_EQ(s.serial.stop_bits, 1.0f);
    EXPECT_EQ(s.serial.handshake, 0);
}

void expect_all_defaults(const Settings& s) {
    EXPECT_EQ(s.tcp_port, 8080);
    expect_default_serial(s);
    EXPECT_EQ(s.module_type, "USB");
}

// --- Missing keys and defaults ---------------------------------------------

TEST(SettingsDefaults, OnlyPortGivesThatPortAndSerialDefaults) {
    const Settings s = read("IPPort = 9000\r\n");
    EXPECT_EQ(s.tcp_port, 9000);
    expect_default_serial(s);
    EXPECT_EQ(s.module_type, "USB");
}

TEST(SettingsDefaults, EmptyFileGivesAllDefaults) {
    expect_all_defaults(read(""));
}

TEST(SettingsDefaults, OnlyCommentsGiveAllDefaults) {
    expect_all_defaults(read("; IPPort = 9000\r\n  ;SerialPort = COM9\r\n\t; SerialType = RS\r\n"));
}

TEST(SettingsDefaults, BlankLinesAndByteOrderMarkAloneGiveAllDefaults) {
    expect_all_defaults(read("\xEF\xBB\xBF\r\n   \r\n\t\t\r\n\n\r"));
}

TEST(SettingsDefaults, FindSettingReportsAMissingKey) {
    EXPECT_EQ(find_setting("IPPort = 9000\r\n", "SerialPort"), std::nullopt);
    EXPECT_EQ(find_setting("", "IPPort"), std::nullopt);
}

TEST(SettingsDefaults, EmptyValueIsFoundAndReadsAsZero) {
    const Settings s = read("IPPort =\r\nSerialPort=\r\n");
    EXPECT_EQ(find_setting("IPPort =\r\n", "IPPort"), std::optional<std::string>(""));
    EXPECT_EQ(s.tcp_port, 0);
    EXPECT_EQ(s.serial_settings, "");
    EXPECT_EQ(s.serial.name, "");
    EXPECT_EQ(s.serial.baud, 0);
    EXPECT_EQ(s.serial.parity, 0);
    EXPECT_EQ(s.serial.data_bits, 0);
    EXPECT_EQ(s.serial.stop_bits, 0.0f);
    EXPECT_EQ(s.serial.handshake, 0);
}

// --- Keys and entries --------------------------------------------------------

TEST(SettingsKeys, KeysAreFoundInAnyLetterCase) {
    const Settings s =
        read("ipport = 9100\r\nSERIALPORT = COM3,9600,2,7,2,3\r\nserialtype = RS\r\n");
    EXPECT_EQ(s.tcp_port, 9100);
    EXPECT_EQ(s.serial.name, "COM3");
    EXPECT_EQ(s.serial.baud, 9600);
    EXPECT_EQ(s.serial.parity, 2);
    EXPECT_EQ(s.serial.data_bits, 7);
    EXPECT_EQ(s.serial.stop_bits, 2.0f);
    EXPECT_EQ(s.serial.handshake, 3);
    EXPECT_EQ(s.module_type, "RS");
}

TEST(SettingsKeys, EntryWithoutBlanksAroundEqualsReadsTheSame) {
    const Settings tight = read("IPPort=9200\r\nSerialPort=COM2,19200,1,8,1,2\r\n");
    const Settings loose = read("IPPort = 9200\r\nSerialPort = COM2,19200,1,8,1,2\r\n");
    EXPECT_EQ(tight.tcp_port, 9200);
    EXPECT_EQ(tight.serial_settings, "COM2,19200,1,8,1,2");
    EXPECT_EQ(tight.tcp_port, loose.tcp_port);
    EXPECT_EQ(tight.serial_settings, loose.serial_settings);
    EXPECT_EQ(tight.serial.name, loose.serial.name);
    EXPECT_EQ(tight.serial.baud, loose.serial.baud);
    EXPECT_EQ(tight.serial.handshake, loose.serial.handshake);
}

TEST(SettingsKeys, BlanksAndTabsAroundKeyAndValueAreRemoved) {
    EXPECT_EQ(find_setting(" \t IPPort \t = \t 9300 \t \r\n", "IPPort"),
              std::optional<std::string>("9300"));
}

TEST(SettingsKeys, BlanksInsideTheValueStay) {
    EXPECT_EQ(find_setting("Name = a  b\tc \r\n", "Name"), std::optional<std::string>("a  b\tc"));
}

TEST(SettingsKeys, ValueRunsFromTheFirstEquals) {
    EXPECT_EQ(find_setting("Key = a=b = c\r\n", "Key"), std::optional<std::string>("a=b = c"));
}

TEST(SettingsKeys, KeyMustMatchWhole) {
    EXPECT_EQ(find_setting("IPPortX = 1\r\nIPPor = 2\r\n", "IPPort"), std::nullopt);
    EXPECT_EQ(find_setting("IP Port = 1\r\n", "IPPort"), std::nullopt);
}

TEST(SettingsKeys, FirstOccurrenceWins) {
    const Settings s = read("IPPort = 9001\r\nipport = 9002\r\nIPPort = 9003\r\n");
    EXPECT_EQ(s.tcp_port, 9001);
}

TEST(SettingsKeys, GroupLineEndsTheLookup) {
    const Settings s = read("IPPort = 9400\r\n[Serial]\r\nSerialPort = COM7,9600,0,8,1,0\r\n");
    EXPECT_EQ(s.tcp_port, 9400);
    expect_default_serial(s);
    EXPECT_EQ(find_setting("[Main]\r\nIPPort = 1\r\n", "IPPort"), std::nullopt);
}

TEST(SettingsKeys, IndentedGroupLineEndsTheLookupToo) {
    EXPECT_EQ(find_setting("\t [Main]\r\nIPPort = 1\r\n", "IPPort"), std::nullopt);
}

TEST(SettingsKeys, BracketLaterInALineIsNoGroup) {
    EXPECT_EQ(find_setting("Name = [x]\r\nIPPort = 1\r\n", "IPPort"),
              std::optional<std::string>("1"));
}

TEST(SettingsKeys, IndentedCommentIsSkipped) {
    EXPECT_EQ(find_setting("  ; IPPort = 1\r\nIPPort = 2\r\n", "IPPort"),
              std::optional<std::string>("2"));
}

TEST(SettingsKeys, LineWithoutEqualsDoesNotHideALaterKey) {
    const Settings s = read("just some words\r\nIPPort\r\nIPPort = 9500\r\n");
    EXPECT_EQ(s.tcp_port, 9500);
}

TEST(SettingsKeys, LeadingTabsAreSkipped) {
    const Settings s = read("\tIPPort = 9600\r\n\t\tSerialPort = COM4,9600,0,8,1,0\r\n");
    EXPECT_EQ(s.tcp_port, 9600);
    EXPECT_EQ(s.serial.name, "COM4");
    EXPECT_EQ(s.serial.baud, 9600);
}

// --- Line ends ---------------------------------------------------------------

struct LineEndCase {
    const char* name;
    std::string file;
};
void PrintTo(const LineEndCase& c, std::ostream* os) {
    *os << c.name;
}

class SettingsLineEnds : public ::testing::TestWithParam<LineEndCase> {};

TEST_P(SettingsLineEnds, EveryKeyIsFound) {
    const Settings s = read(GetParam().file);
    EXPECT_EQ(s.tcp_port, 9700);
    EXPECT_EQ(s.serial_settings, "COM5,57600,0,8,1,0");
    EXPECT_EQ(s.serial.name, "COM5");
    EXPECT_EQ(s.serial.baud, 57600);
    EXPECT_EQ(s.module_type, "RS");
}

INSTANTIATE_TEST_SUITE_P(
    AllKinds, SettingsLineEnds,
    ::testing::Values(
        LineEndCase{"Cr", "IPPort = 9700\rSerialPort = COM5,57600,0,8,1,0\rSerialType = RS\r"},
        LineEndCase{"Lf", "IPPort = 9700\nSerialPort = COM5,57600,0,8,1,0\nSerialType = RS\n"},
        LineEndCase{"CrLf",
                    "IPPort = 9700\r\nSerialPort = COM5,57600,0,8,1,0\r\nSerialType = RS\r\n"},
        LineEndCase{"Mixed", "IPPort = 9700\rSerialPort = COM5,57600,0,8,1,0\nSerialType = RS\r\n"},
        LineEndCase{"NoneAfterLastLine",
                    "IPPort = 9700\nSerialPort = COM5,57600,0,8,1,0\nSerialType = RS"},
        LineEndCase{"LfCrAndDoubledEnds",
                    "IPPort = 9700\n\rSerialPort = COM5,57600,0,8,1,0\r\r\n\nSerialType = RS"}),
    [](const ::testing::TestParamInfo<LineEndCase>& param_info) {
        return std::string(param_info.param.name);
    });

TEST(SettingsLineEndsDetail, CarriageReturnIsNotPartOfTheValue) {
    EXPECT_EQ(find_setting("SerialType = RS\r", "SerialType"), std::optional<std::string>("RS"));
    EXPECT_EQ(find_setting("SerialType = RS\r\n", "SerialType"), std::optional<std::string>("RS"));
}

// --- Encodings ---------------------------------------------------------------

TEST(SettingsEncoding, WithoutByteOrderMarkEveryByteIsLatin1) {
    const Settings s = read("SerialPort = caf\xE9,9600\r\n");
    EXPECT_EQ(s.serial.name, "caf\xC3\xA9");  // "café" in UTF-8
    EXPECT_EQ(s.serial_settings, "caf\xC3\xA9,9600");
    EXPECT_EQ(s.serial.baud, 9600);
}

TEST(SettingsEncoding, WithByteOrderMarkTheRestIsUtf8) {
    const Settings s = read("\xEF\xBB\xBFSerialPort = caf\xC3\xA9,9600\r\n");
    EXPECT_EQ(s.serial.name, "caf\xC3\xA9");
    EXPECT_EQ(s.serial.baud, 9600);
}

TEST(SettingsEncoding, Utf8BytesWithoutByteOrderMarkAreReadAsLatin1) {
    // C3 A9 is two Latin-1 characters, each becoming two UTF-8 bytes.
    EXPECT_EQ(find_setting("Name = \xC3\xA9\r\n", "Name"),
              std::optional<std::string>("\xC3\x83\xC2\xA9"));
}

TEST(SettingsEncoding, ByteOrderMarkDoesNotBelongToTheFirstKey) {
    EXPECT_EQ(find_setting("\xEF\xBB\xBFIPPort = 9800\r\n", "IPPort"),
              std::optional<std::string>("9800"));
}

TEST(SettingsEncoding, ByteOrderMarkCountsOnlyAtTheStart) {
    // Further on the same three bytes are plain Latin-1 characters.
    EXPECT_EQ(find_setting("\r\nName = \xEF\xBB\xBF\r\n", "Name"),
              std::optional<std::string>("\xC3\xAF\xC2\xBB\xC2\xBF"));
}

// --- The serial line value -------------------------------------------------

TEST(SettingsSerialPort, AllSixFieldsAreConverted) {
    const Settings s = read("SerialPort = /dev/ttyACM0,115200,4,7,1.5,1\r\n");
    EXPECT_EQ(s.serial_settings, "/dev/ttyACM0,115200,4,7,1.5,1");
    EXPECT_EQ(s.serial.name, "/dev/ttyACM0");
    EXPECT_EQ(s.serial.baud, 115200);
    EXPECT_EQ(s.serial.parity, 4);
    EXPECT_EQ(s.serial.data_bits, 7);
    EXPECT_EQ(s.serial.stop_bits, 1.5f);
    EXPECT_EQ(s.serial.handshake, 1);
}

TEST(SettingsSerialPort, BlankAfterACommaBeforeTheBaudIsSkipped) {
    const Settings s = read("SerialPort = COM1, 38400, 0, 8, 2, 2\r\n");
    EXPECT_EQ(s.serial.baud, 38400);
    EXPECT_EQ(s.serial.parity, 0);
    EXPECT_EQ(s.serial.data_bits, 8);
    EXPECT_EQ(s.serial.stop_bits, 2.0f);
    EXPECT_EQ(s.serial.handshake, 2);
}

TEST(SettingsSerialPort, BlankAfterThePortNameStaysInTheName) {
    const Settings s = read("SerialPort =   COM1 ,38400,0,8,1,0\r\n");
    EXPECT_EQ(s.serial.name, "COM1 ");
    EXPECT_EQ(s.serial_settings, "COM1 ,38400,0,8,1,0");
    EXPECT_EQ(s.serial.baud, 38400);
}

TEST(SettingsSerialPort, PortNameAloneGivesZeroNumbers) {
    const Settings s = read("SerialPort = COM3\r\n");
    EXPECT_EQ(s.serial_settings, "COM3");
    EXPECT_EQ(s.serial.name, "COM3");
    EXPECT_EQ(s.serial.baud, 0);
    EXPECT_EQ(s.serial.parity, 0);
    EXPECT_EQ(s.serial.data_bits, 0);
    EXPECT_EQ(s.serial.stop_bits, 0.0f);
    EXPECT_EQ(s.serial.handshake, 0);
}

TEST(SettingsSerialPort, AutoAloneTakesTheModulesLineAndAutoWithFieldsTakesThem) {
    const Settings alone = read("SerialPort = Auto\r\n");
    EXPECT_EQ(alone.serial.name, "auto");
    EXPECT_EQ(alone.serial.baud, 38400);
    EXPECT_EQ(alone.serial.parity, 0);
    EXPECT_EQ(alone.serial.data_bits, 8);
    EXPECT_EQ(alone.serial.stop_bits, 1.0f);
    EXPECT_EQ(alone.serial.handshake, 0);

    const Settings given = read("SerialPort = AUTO,9600,2,7,2,3\r\n");
    EXPECT_EQ(given.serial.name, "auto");
    EXPECT_EQ(given.serial.baud, 9600);
    EXPECT_EQ(given.serial.parity, 2);
    EXPECT_EQ(given.serial.data_bits, 7);
    EXPECT_EQ(given.serial.stop_bits, 2.0f);
    EXPECT_EQ(given.serial.handshake, 3);
}

TEST(SettingsSerialPort, FieldsAfterTheLastCommaReadAsZero) {
    const Settings s = read("SerialPort = COM3,9600,1,\r\n");
    EXPECT_EQ(s.serial.baud, 9600);
    EXPECT_EQ(s.serial.parity, 1);
    EXPECT_EQ(s.serial.data_bits, 0);
    EXPECT_EQ(s.serial.stop_bits, 0.0f);
    EXPECT_EQ(s.serial.handshake, 0);
}

TEST(SettingsSerialPort, FieldsBeyondTheSixthAreIgnored) {
    const Settings s = read("SerialPort = COM2,4800,2,7,2,3,99,x\r\n");
    EXPECT_EQ(s.serial_settings, "COM2,4800,2,7,2,3,99,x");
    EXPECT_EQ(s.serial.name, "COM2");
    EXPECT_EQ(s.serial.baud, 4800);
    EXPECT_EQ(s.serial.parity, 2);
    EXPECT_EQ(s.serial.data_bits, 7);
    EXPECT_EQ(s.serial.stop_bits, 2.0f);
    EXPECT_EQ(s.serial.handshake, 3);
}

TEST(SettingsSerialPort, EmptyFieldsBetweenCommasReadAsZero) {
    const Settings s = read("SerialPort = ,,,,,\r\n");
    EXPECT_EQ(s.serial.name, "");
    EXPECT_EQ(s.serial.baud, 0);
    EXPECT_EQ(s.serial.stop_bits, 0.0f);
    EXPECT_EQ(s.serial.handshake, 0);
}

TEST(SettingsSerialPort, HexadecimalBaudIsUnderstood) {
    EXPECT_EQ(read("SerialPort = COM1,$9600\r\n").serial.baud, 0x9600);
}

// --- The module kind -------------------------------------------------------

TEST(SettingsModule, SerialTypeIsRead) {
    EXPECT_EQ(read("SerialType = RS\r\n").module_type, "RS");
    EXPECT_EQ(read("SerialType = USB\r\n").module_type, "USB");
}

TEST(SettingsModule, SerialModuleIsReadWhenSerialTypeIsMissing) {
    EXPECT_EQ(read("SerialModule = RS\r\n").module_type, "RS");
}

TEST(SettingsModule, SerialTypeTakesPrecedenceWhereverItStands) {
    EXPECT_EQ(read("SerialModule = RS\r\nSerialType = USB\r\n").module_type, "USB");
    EXPECT_EQ(read("SerialType = USB\r\nSerialModule = RS\r\n").module_type, "USB");
}

TEST(SettingsModule, SerialTypeBehindAGroupLineLeavesSerialModule) {
    EXPECT_EQ(read("SerialModule = RS\r\n[Other]\r\nSerialType = USB\r\n").module_type, "RS");
}

TEST(SettingsModule, BothMissingGiveUsb) {
    EXPECT_EQ(read("IPPort = 8080\r\n").module_type, "USB");
}

TEST(SettingsModule, ValueKeepsItsLetterCase) {
    // Only "RS" exactly selects the RS-232 module, so "rs" must not be turned into it.
    EXPECT_EQ(read("SerialType = rs\r\n").module_type, "rs");
    EXPECT_EQ(read("serialmodule = rs\r\n").module_type, "rs");
}

// --- Values a user gets wrong ----------------------------------------------

TEST(SettingsMistakes, PortAbove65535IsKeptAsRead) {
    EXPECT_EQ(read("IPPort = 70000\r\n").tcp_port, 70000);
}

TEST(SettingsMistakes, LettersInThePortStopTheNumber) {
    EXPECT_EQ(read("IPPort = 80ab\r\n").tcp_port, 80);
    EXPECT_EQ(read("IPPort = http\r\n").tcp_port, 0);
}

TEST(SettingsMistakes, NulBytesAreOrdinaryCharacters) {
    const std::string file = "IP\0Port = 1\r\nIPPort = 9\0001\r\nSerialPort = CO\0M1,9600\r\n"s;
    const Settings s = read(file);
    EXPECT_EQ(s.tcp_port, 9);
    EXPECT_EQ(s.serial.name, "CO\0M1"s);
    EXPECT_EQ(s.serial.baud, 9600);
}

TEST(SettingsMistakes, LargeFileOfGarbageGivesDefaults) {
    std::mt19937 random(12345);
    std::string file(1024 * 1024, '\0');
    for (char& c : file) {
        // No "=" and no "[", so no line can be an entry or end the lookup.
        char b = static_cast<char>(random() & 0xFF);
        if (b == '=' || b == '[') b = 'x';
        c = b;
    }
    file += "\r\nIPPort = 9900\r\n";
    const Settings s = read(file);
    EXPECT_EQ(s.tcp_port, 9900);
    expect_default_serial(s);
    EXPECT_EQ(s.module_type, "USB");
}

TEST(SettingsMistakes, LongLineOfDigitsWraps) {
    const std::string digits(100000, '9');
    const Settings s =
        read("IPPort = " + digits + "\r\nSerialPort = COM1,1,1,1," + digits + "\r\n");
    // 10^100000 - 1 modulo 2^32: 10^100000 is 0 modulo 2^32 since 2^32 divides it.
    EXPECT_EQ(s.tcp_port, -1);
    EXPECT_EQ(s.serial.stop_bits, std::numeric_limits<float>::infinity());
}

// --- Integer conversion ----------------------------------------------------

struct IntegerCase {
    const char* name;
    std::string text;
    std::int32_t expected;
};
void PrintTo(const IntegerCase& c, std::ostream* os) {
    *os << c.name;
}

class SettingsInteger : public ::testing::TestWithParam<IntegerCase> {};

TEST_P(SettingsInteger, Converts) {
    EXPECT_EQ(settings_integer(GetParam().text), GetParam().expected)
        << '"' << GetParam().text << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Table, SettingsInteger,
    ::testing::Values(
        IntegerCase{"Decimal", "8080", 8080}, IntegerCase{"Zero", "0", 0},
        IntegerCase{"HexUpper", "$1F", 31}, IntegerCase{"HexLower", "$ff", 255},
        IntegerCase{"HexNegative", "-$10", -16}, IntegerCase{"Binary", "%101", 5},
        IntegerCase{"BinaryNegative", "-%11", -3}, IntegerCase{"PlusThenLetters", "+12abc", 12},
        IntegerCase{"LeadingBlanks", "  42", 42}, IntegerCase{"LeadingTabs", "\t\t42", 42},
        IntegerCase{"Negative", "-17", -17}, IntegerCase{"Letters", "abc", 0},
        IntegerCase{"Empty", "", 0}, IntegerCase{"BlanksOnly", "  \t", 0},
        IntegerCase{"SignOnly", "-", 0}, IntegerCase{"BlankAfterSign", "- 5", 0},
        IntegerCase{"DoubleSign", "+-5", 0}, IntegerCase{"TrailingBlank", "12 3", 12},
        IntegerCase{"DecimalPointStops", "12.7", 12}, IntegerCase{"WrapsAt2To32", "4294967297", 1},
        IntegerCase{"Max", "2147483647", 2147483647},
        IntegerCase{"Min", "-2147483648", std::numeric_limits<std::int32_t>::min()},
        IntegerCase{"JustPastMax", "2147483648", std::numeric_limits<std::int32_t>::min()},
        IntegerCase{"AllOnesHex", "$FFFFFFFF", -1}, IntegerCase{"HexWrap", "$100000010", 16},
        IntegerCase{"NegatedWrap", "-4294967295", 1}, IntegerCase{"DollarAlone", "$", 0},
        IntegerCase{"PercentAlone", "%", 0}, IntegerCase{"BinaryBadDigit", "%2", 0},
        IntegerCase{"BinaryStopsAtTwo", "%1012", 5}, IntegerCase{"HexStopsAtG", "$1G", 1},
        IntegerCase{"CStyleHexIsDecimalZero", "0x1F", 0},
        IntegerCase{"DollarAfterDigits", "1$F", 1}),
    [](const ::testing::TestParamInfo<IntegerCase>& param_info) {
        return std::string(param_info.param.name);
    });

// --- Decimal conversion ----------------------------------------------------

struct DecimalCase {
    const char* name;
    std::string text;
    float expected;
};
void PrintTo(const DecimalCase& c, std::ostream* os) {
    *os << c.name;
}

class SettingsDecimal : public ::testing::TestWithParam<DecimalCase> {};

TEST_P(SettingsDecimal, Converts) {
    const float got = settings_decimal(GetParam().text);
    EXPECT_EQ(got, GetParam().expected) << '"' << GetParam().text << '"';
    EXPECT_EQ(std::signbit(got), std::signbit(GetParam().expected))
        << '"' << GetParam().text << '"';
}

constexpr float inf = std::numeric_limits<float>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Table, SettingsDecimal,
    ::testing::Values(
        DecimalCase{"OneAndAHalf", "1.5", 1.5f}, DecimalCase{"Exponent", "1.5e1", 15.0f},
        DecimalCase{"UpperExponent", "1E2", 100.0f},
        DecimalCase{"NegativeExponent", "25e-2", 0.25f}, DecimalCase{"PlusExponent", "2e+1", 20.0f},
        DecimalCase{"Integer", "2", 2.0f}, DecimalCase{"PlusSign", "+2", 2.0f},
        DecimalCase{"Negative", "-1.5", -1.5f}, DecimalCase{"NegativeZero", "-0", -0.0f},
        DecimalCase{"NoIntegerPart", ".5", 0.5f}, DecimalCase{"NoFraction", "5.", 5.0f},
        DecimalCase{"Tenth", "0.1", 0.1f}, DecimalCase{"PlusInfinity", "+Infinity", inf},
        DecimalCase{"MinusInfinity", "-Infinity", -inf},
        DecimalCase{"BareInfinity", "Infinity", inf},
        DecimalCase{"ShortInfIsNotAWord", "inf", 0.0f},
        DecimalCase{"LowerNanIsNotAWord", "nan", 0.0f}, DecimalCase{"Letters", "abc", 0.0f},
        DecimalCase{"Empty", "", 0.0f}, DecimalCase{"SignOnly", "-", 0.0f},
        DecimalCase{"PointOnly", ".", 0.0f}, DecimalCase{"ExponentOnly", "e5", 0.0f},
        DecimalCase{"CommaIsNoDecimalPoint", "1,5", 1.0f},
        DecimalCase{"LeadingBlank", " 1.5", 1.5f}, DecimalCase{"LeadingTab", "\t1.5", 1.5f},
        DecimalCase{"StrayLetter", "1.5x", 1.5f},
        DecimalCase{"ExponentWithoutDigits", "1.5e", 1.5f},
        DecimalCase{"ExponentSignWithoutDigits", "1.5e+", 1.5f},
        DecimalCase{"ExponentThenLetter", "1.5ex", 1.5f},
        DecimalCase{"SecondPointStops", "1.5.2", 1.5f}, DecimalCase{"HexIsNotRead", "0x10", 0.0f},
        DecimalCase{"TooLarge", "1e39", inf}, DecimalCase{"TooLargeNegative", "-1e39", -inf},
        DecimalCase{"HugeExponent", "1e99999999999999999999", inf},
        DecimalCase{"TooSmall", "1e-60", 0.0f}, DecimalCase{"TooSmallNegative", "-1e-60", -0.0f},
        DecimalCase{"HugeNegativeExponent", "5e-99999999999999999999", 0.0f},
        DecimalCase{"ZeroWithHugeExponent", "0e99999999999999999999", 0.0f},
        DecimalCase{"ManyDigitsBeforePoint", std::string(60, '9'), inf},
        DecimalCase{"ManyZerosAfterPoint", "0." + std::string(60, '0') + "1", 0.0f},
        DecimalCase{"LargeButFits", "3e38", 3e38f}),
    [](const ::testing::TestParamInfo<DecimalCase>& param_info) {
        return std::string(param_info.param.name);
    });

TEST(SettingsDecimalSpecial, NanIsUnderstood) {
    EXPECT_TRUE(std::isnan(settings_decimal("NaN")));
    EXPECT_TRUE(std::isnan(settings_decimal("  NaN")));
}

// --- The file the first-configuration dialog writes -------------------------

TEST(FirstConfigurationSettingsFile, UsbModuleBytes) {
    EXPECT_EQ(first_configuration_file("8080", "COM4", false),
              "\xEF\xBB\xBF\r\n"
              "IPPort = 8080\r\n"
              "SerialPort = COM4,38400,0,8,1,0\r\n"
              "SerialModule = USB\r\n");
}

TEST(FirstConfigurationSettingsFile, Rs232ModuleBytes) {
    EXPECT_EQ(first_configuration_file("9000", "/dev/ttyUSB0", true),
              "\xEF\xBB\xBF\r\n"
              "IPPort = 9000\r\n"
              "SerialPort = /dev/ttyUSB0,38400,0,8,1,0\r\n"
              "SerialModule = RS\r\n");
}

TEST(FirstConfigurationSettingsFile, TextsAreWrittenAsTyped) {
    EXPECT_EQ(first_configuration_file("", "caf\xC3\xA9", false),
              "\xEF\xBB\xBF\r\n"
              "IPPort = \r\n"
              "SerialPort = caf\xC3\xA9,38400,0,8,1,0\r\n"
              "SerialModule = USB\r\n");
}

TEST(FirstConfigurationSettingsFile, ReadsBackAsTheDialogChoseThem) {
    const Settings s = read(first_configuration_file("9123", "COM4", true));
    EXPECT_EQ(s.tcp_port, 9123);
    EXPECT_EQ(s.serial_settings, "COM4,38400,0,8,1,0");
    EXPECT_EQ(s.serial.name, "COM4");
    EXPECT_EQ(s.serial.baud, 38400);
    EXPECT_EQ(s.serial.parity, 0);
    EXPECT_EQ(s.serial.data_bits, 8);
    EXPECT_EQ(s.serial.stop_bits, 1.0f);
    EXPECT_EQ(s.serial.handshake, 0);
    EXPECT_EQ(s.module_type, "RS");
}

// --- Writing the file --------------------------------------------------------

class SettingsFile : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        std::random_device entropy;
        dir_ = std::filesystem::temp_directory_path() /
               ("quillon-settings-" + std::to_string(stamp) + "-" + std::to_string(entropy()));
        ASSERT_TRUE(std::filesystem::create_directory(dir_));
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    std::string path() const { return (dir_ / std::string(settings_file_name)).string(); }

    static std::string contents_of(const std::string& file) {
        std::ifstream in(file, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    std::filesystem::path dir_;
    PosixFiles files_;
};

TEST(SettingsFileName, IsQuillonIni) {
    EXPECT_EQ(settings_file_name, "Quillon.ini");
}

TEST_F(SettingsFile, WrittenBytesAreExactlyTheContents) {
    const std::string contents = first_configuration_file("8080", "COM4", false);
    ASSERT_TRUE(files_.write_whole(path(), contents));
    EXPECT_EQ(contents_of(path()), contents);
}

TEST_F(SettingsFile, WritingThenReadingGivesTheChosenSettings) {
    ASSERT_TRUE(files_.write_whole(path(), first_configuration_file("9555", "/dev/ttyS3", true)));
    Settings s = read_settings(contents_of(path()));
    EXPECT_EQ(s.tcp_port, 9555);
    EXPECT_EQ(s.serial.name, "/dev/ttyS3");
    EXPECT_EQ(s.serial.baud, 38400);
    EXPECT_EQ(s.module_type, "RS");

    ASSERT_TRUE(files_.write_whole(path(), first_configuration_file("8081", "COM2", false)));
    s = read_settings(contents_of(path()));
    EXPECT_EQ(s.tcp_port, 8081);
    EXPECT_EQ(s.serial.name, "COM2");
    EXPECT_EQ(s.module_type, "USB");
}

TEST_F(SettingsFile, WritingReplacesALongerFile) {
    ASSERT_TRUE(files_.write_whole(path(), std::string(5000, 'x')));
    ASSERT_TRUE(files_.write_whole(path(), "IPPort = 1\r\n"));
    EXPECT_EQ(contents_of(path()), "IPPort = 1\r\n");
}

TEST_F(SettingsFile, DirectoryThatDoesNotExistGivesFalse) {
    const std::string missing = (dir_ / "no-such-dir" / std::string(settings_file_name)).string();
    EXPECT_FALSE(files_.write_whole(missing, first_configuration_file("8080", "COM4", false)));
    EXPECT_FALSE(std::filesystem::exists(missing));
}

TEST_F(SettingsFile, PathThatIsADirectoryGivesFalse) {
    EXPECT_FALSE(files_.write_whole(dir_.string(), "IPPort = 1\r\n"));
}

TEST(SettingsClockSync, OnlyOnSetsTheModulesClocksAndOtherWordsAreSaidToBeOff) {
    EXPECT_FALSE(read_settings("IPPort = 8080\r\n").clock_sync);
    EXPECT_TRUE(read_settings("ClockSync = ON\r\n").clock_sync);
    EXPECT_FALSE(read_settings("ClockSync = off\r\n").clock_sync);
    EXPECT_FALSE(read_settings("ClockSync = yes\r\n").clock_sync);
    const std::vector<SettingsWarning> warnings =
        settings_warnings("ClockSync = on\r\nClockSync = yes\r\n");
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].line, 2);
    EXPECT_EQ(warnings[0].text, "ClockSync = yes is neither on nor off; read as off");
}

}  // namespace
}  // namespace quillon
