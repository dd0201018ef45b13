#include "analyzer/message_decoder.hpp"

#include <gtest/gtest.h>

#include <ostream>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "bus/bus_frame.hpp"
#include "tests/support/velbus_frame.hpp"

namespace quillon {
namespace {

using ::quillon::testing::Bytes;
using ::quillon::testing::make_frame;

const std::string deg = "\xC2\xB0";    // U+00B0 in UTF-8
const std::string numero = "N" + deg;  // the channel-number prefix

// A well-formed frame of priority FB: the command, then its data.
Bytes command_frame(std::uint8_t address, std::uint8_t command, const Bytes& data = {}) {
    Bytes body{command};
    body.insert(body.end(), data.begin(), data.end());
    return make_frame(0xFB, address, body);
}

std::string bus_side(const Bytes& f) {
    return decode_message("VMB", f.data(), f.size());
}
std::string client_side(const Bytes& f) {
    return decode_message("IP", f.data(), f.size());
}

// ---------------------------------------------------------------------------
// Worked examples

TEST(DecodeExamples, PushButtonFromBusAndFromClient) {
    const Bytes f{0x0F, 0xF8, 0x0A, 0x04, 0x00, 0x01, 0x00, 0x00, 0xEA, 0x04};
    EXPECT_EQ(bus_side(f), "(Push: Btn N" + deg + "1 Pressed)");
    EXPECT_EQ(client_side(f), "$0A (Push: Btn N" + deg + "1 Pressed)");
}

TEST(DecodeExamples, PushButtonNineInTextBecomesTempOutStatus) {
    EXPECT_EQ(bus_side(command_frame(0x0A, 0x00, {0x09, 0, 0})), "(Temp out Status)");
    EXPECT_EQ(bus_side(command_frame(0x0A, 0x00, {0x03, 0, 0})), "(Push: Btn 3 Pressed)");
}

TEST(DecodeExamples, Temperature) {
    EXPECT_EQ(bus_side(command_frame(0x10, 0xE6, {43})), "(Temp: 21.5" + deg + "C)");
}

TEST(DecodeExamples, Clock) {
    EXPECT_EQ(bus_side(command_frame(0x10, 0xD8, {0, 8, 5})), "(Clock 08:05)");
}

TEST(DecodeExamples, StatusRelay) {
    EXPECT_EQ(bus_side(command_frame(0x10, 0xFB, {0x01, 0x00, 0x21})),
              "(Status-Relay N" + deg + "1 ON:---1 Blk:--2-)");
}

TEST(DecodeExamples, NameWithChannelByteAsBlank) {
    EXPECT_EQ(bus_side(command_frame(0x10, 0xF0, {0x01, 'K', 'i', 't', 'c', 'h', 'e'})),
              "(Name [ Kitche])");
}

TEST(DecodeExamples, RtrScanHasTrailingBlank) {
    const Bytes f{0x0F, 0xFB, 0x21, 0x40, 0x95, 0x04};
    EXPECT_EQ(bus_side(f), "Scan $21 (rtr=1) ");
    EXPECT_EQ(client_side(f), "$21 Scan $21 (rtr=1) ");
}

// ---------------------------------------------------------------------------
// Message table: one case per command byte that has a row.

struct RowCase {
    const char* name;
    std::uint8_t address;
    std::uint8_t command;
    Bytes data;  // F[5] onwards
    std::string body;
};
void PrintTo(const RowCase& c, std::ostream* os) {
    *os << c.name;
}

bool listed_as_empty(int c) {
    return c == 0x06 || (c >= 0x08 && c <= 0x0B) || c == 0x0D || c == 0x0E ||
           (c >= 0x10 && c <= 0x3F) || (c >= 0x41 && c <= 0xC8) || (c >= 0xCD && c <= 0xCF) ||
           c == 0xD6 || (c >= 0xDB && c <= 0xE3) || c == 0xE7 || c == 0xEB || c == 0xF3 ||
           c == 0xFC;
}

class DecodeMessageTable : public ::testing::TestWithParam<RowCase> {};

TEST_P(DecodeMessageTable, BusSideGivesBody) {
    const RowCase& c = GetParam();
    EXPECT_EQ(bus_side(command_frame(c.address, c.command, c.data)), c.body);
}

TEST_P(DecodeMessageTable, ClientSidePrefixesAddressAndBlank) {
    const RowCase& c = GetParam();
    const std::string address = "$" + hex_byte(c.address);
    EXPECT_EQ(client_side(command_frame(c.address, c.command, c.data)), address + " " + c.body);
}

const std::vector<RowCase> row_cases = {
    RowCase{"PushPressed", 0x0A, 0x00, {0x04, 0x02, 0x01}, "(Push: Btn " + numero + "3 Pressed)"},
    RowCase{"PushReleased", 0x0A, 0x00, {0x00, 0x05, 0x01}, "(Push: Btn 5 Released)"},
    RowCase{
        "PushMaintained", 0x0A, 0x00, {0x00, 0x00, 0x80}, "(Push: Btn " + numero + "8 Maintained)"},
    RowCase{"RelOff", 0x01, 0x01, {0x05}, "(RelOff 5 (%00000101))"},
    RowCase{"RelOn", 0x02, 0x02, {0x01}, "(RelOn " + numero + "1 (%00000001))"},
    RowCase{"RelTmr", 0x03, 0x03, {0x80}, "(RelTmr " + numero + "8 (%10000000))"},
    RowCase{"Blind04", 0x04, 0x04, {0x01}, "(Blind)"},
    RowCase{"Blind05", 0x05, 0x05, {0x01}, "(Blind)"},
    RowCase{"DimSet", 0x07, 0x07, {0x01, 75}, "(DimSet:75%)"},
    RowCase{"ModType", 0x0C, 0x0C, {}, "(Mod. Type)"},
    RowCase{"Slider", 0x0F, 0x0F, {0x01, 100}, "(Slider:100%)"},
    RowCase{"ScanCommand", 0x40, 0x40, {}, "(Scan)"},
    RowCase{"MemRwC9", 0xC9, 0xC9, {}, "(Mem RW)"}, RowCase{"MemRwCA", 0xCA, 0xCA, {}, "(Mem RW)"},
    RowCase{"MemRwCB", 0xCB, 0xCB, {}, "(Mem RW)"}, RowCase{"MemRwCC", 0xCC, 0xCC, {}, "(Mem RW)"},
    RowCase{"LcdD0", 0xD0, 0xD0, {}, "(LCD/BT)"}, RowCase{"LcdD1", 0xD1, 0xD1, {}, "(LCD/BT)"},
    RowCase{"LcdD2", 0xD2, 0xD2, {}, "(LCD/BT)"}, RowCase{"LcdD3", 0xD3, 0xD3, {}, "(LCD/BT)"},
    RowCase{"LcdD4", 0xD4, 0xD4, {}, "(LCD/BT)"}, RowCase{"LcdD5", 0xD5, 0xD5, {}, "(LCD/BT)"},
    RowCase{"ClockReq", 0xD7, 0xD7, {}, "(Clock Req.)"},
    RowCase{"Clock", 0xD8, 0xD8, {0x02, 23, 59}, "(Clock 23:59)"},
    RowCase{"CountErrReq", 0xD9, 0xD9, {}, "(CountErr Req.)"},
    RowCase{"CntErr", 0xDA, 0xDA, {12, 3, 250}, "(CntErr TX:12 RX:3BusOff:250)"},
    RowCase{"TempFunctE4", 0xE4, 0xE4, {}, "(Temp: funct.)"},
    RowCase{"TempFunctE8", 0xE8, 0xE8, {}, "(Temp: funct.)"},
    RowCase{"TempFunctE9", 0xE9, 0xE9, {}, "(Temp: funct.)"},
    RowCase{"TempReq", 0xE5, 0xE5, {}, "(Temp: Req.)"},
    RowCase{"Temp", 0xE6, 0xE6, {40}, "(Temp: 20.0" + deg + "C)"},
    RowCase{"TempStatus", 0xEA, 0xEA, {}, "(Temp: Status)"},
    RowCase{"NameReq", 0xEF, 0xEF, {0x01}, "(Name [Req.])"},
    RowCase{"NameF0", 0xF0, 0xF0, {0x01, 'L', 'i', 'v', 'i', 'n', 'g'}, "(Name [ Living])"},
    RowCase{"NameF1", 0xF1, 0xF1, {0x02, 'R', 'o', 'o', 'm', ' ', '1'}, "(Name [ Room 1])"},
    RowCase{"NameF2", 0xF2, 0xF2, {0x04, 'H', 'a', 'l', 'l', 'X', 'Y'}, "(Name [ Hall])"},
    RowCase{"LedBlinkF4", 0xF4, 0xF4, {0x05}, "(Led:Blink  %00000101)"},
    RowCase{"LedBlinkF7", 0xF7, 0xF7, {0x80}, "(Led:Blink  %10000000)"},
    RowCase{"LedBlinkF8", 0xF8, 0xF8, {0xFF}, "(Led:Blink  %11111111)"},
    RowCase{"LedBlinkF9", 0xF9, 0xF9, {0x00}, "(Led:Blink  %00000000)"},
    RowCase{"LedOff", 0xF5, 0xF5, {0x0A}, "(Led:Off  %00001010)"},
    RowCase{"LedOn", 0xF6, 0xF6, {0x30}, "(Led:On  %00110000)"},
    RowCase{"StatusRelayEC",
            0xEC,
            0xEC,
            {0x02, 0x00, 0x0F},
            "(Status-Relay " + numero + "2 ON:4321 Blk:----)"},
    RowCase{"StatusRelayFA",
            0xFA,
            0xFA,
            {0x08, 0x00, 0xA5},
            "(Status-Relay " + numero + "4 ON:-3-1 Blk:4-2-)"},
    RowCase{"StatusRelayFB",
            0xFB,
            0xFB,
            {0x00, 0x00, 0x00},
            "(Status-Relay " + numero + "0 ON:---- Blk:----)"},
    // Number style over 4 channels: the upper bits count in the decimal, not in the channel.
    RowCase{
        "StatusRelayFFMulti", 0xFF, 0xFF, {0x13, 0xFF, 0xF0}, "(Status-Relay 19 ON:---- Blk:4321)"},
    RowCase{"StatusRelayFFHighOnly",
            0x00,
            0xFF,
            {0x10, 0x00, 0x00},
            "(Status-Relay " + numero + "0 ON:---- Blk:----)"},
    RowCase{"StatusInp", 0xED, 0xED, {0x81, 0x42}, "(Status-Inp:%10000001 Led:%01000010)"},
    RowCase{"StatusDimmer", 0xEE, 0xEE, {0x01, 55}, "(Status-Dimmer 55%)"},
    RowCase{"MemRwFD", 0x3C, 0xFD, {0x00, 0x10}, "(Mem R/W $3C)"},
    RowCase{"MemRwFE", 0x0A, 0xFE, {0x00, 0x10}, "(Mem R/W $0A)"}};

INSTANTIATE_TEST_SUITE_P(AllRows, DecodeMessageTable, ::testing::ValuesIn(row_cases),
                         [](const ::testing::TestParamInfo<RowCase>& p) {
                             return std::string(p.param.name);
                         });

// ---------------------------------------------------------------------------
// Commands without a row

TEST(DecodeEmptyBody, ExactlyTheListedCommandsGiveAnEmptyBody) {
    int empty_count = 0;
    for (int c = 0; c < 256; ++c) {
        const Bytes f = command_frame(0x0A, static_cast<std::uint8_t>(c), {0x01, 0x02, 0x03, 0x04});
        const std::string body = bus_side(f);
        if (listed_as_empty(c)) {
            ++empty_count;
            EXPECT_EQ(body, "") << "command " << c;
            EXPECT_EQ(client_side(f), "$0A ") << "command " << c;
        } else {
            EXPECT_NE(body, "") << "command " << c;
            EXPECT_EQ(client_side(f), "$0A " + body) << "command " << c;
        }
    }
    EXPECT_EQ(empty_count, 256 - 48);  // 48 command bytes have a row
}

TEST(DecodeEmptyBody, EveryCommandWithARowHasATableCase) {
    std::set<int> covered;
    for (const RowCase& c : row_cases) {
        EXPECT_FALSE(listed_as_empty(c.command)) << c.name;
        covered.insert(c.command);
    }
    for (int c = 0; c < 256; ++c) {
        EXPECT_TRUE(listed_as_empty(c) || covered.contains(c)) << "command " << c;
    }
}

// ---------------------------------------------------------------------------
// RTR flag and length byte

TEST(DecodeRtr, LengthByte0x40GivesScanWhateverTheCommandPosition) {
    for (int c = 0; c < 256; ++c) {
        const Bytes f{0x0F, 0xFB, 0xC5, 0x40, static_cast<std::uint8_t>(c), 0x04, 0x07, 0x08};
        EXPECT_EQ(bus_side(f), "Scan $C5 (rtr=1) ") << "F[4] " << c;
        EXPECT_EQ(client_side(f), "$C5 Scan $C5 (rtr=1) ") << "F[4] " << c;
    }
}

TEST(DecodeRtr, OtherLengthBytesFallThroughToTheCommand) {
    // 0xE6 with F[5] = 43 is a temperature; the length nibble and the RTR bit are not consulted.
    for (const int length : {0x00, 0x01, 0x02, 0x41, 0x4F, 0xC0, 0x50, 0x0F}) {
        const auto length_byte = static_cast<std::uint8_t>(length);
        const Bytes f{0x0F, 0xFB, 0x21, length_byte, 0xE6, 43, 0x00, 0x00};
        EXPECT_EQ(bus_side(f), "(Temp: 21.5" + deg + "C)") << "length byte " << int{length_byte};
    }
}

TEST(DecodeRtr, NoDataBytesReadsTheChecksumAsCommand) {
    const Bytes f = make_frame(0xFB, 0x00, {});  // its checksum, 0xF6: LED on
    ASSERT_EQ(f[4], 0xF6);
    // F[5], the end byte, is the LED mask.
    EXPECT_EQ(bus_side(f), "(Led:On  %00000100)");
    EXPECT_EQ(client_side(f), "$00 (Led:On  %00000100)");
}

// ---------------------------------------------------------------------------
// Source tag

TEST(DecodeSource, OnlyExactlyIPAddsTheAddress) {
    const Bytes f = command_frame(0xFF, 0xE5);
    EXPECT_EQ(decode_message("IP", f.data(), f.size()), "$FF (Temp: Req.)");
    for (const char* other : {"VMB", "", "ip", "IP ", " IP", "IPX", "I"}) {
        EXPECT_EQ(decode_message(other, f.data(), f.size()), "(Temp: Req.)") << other;
    }
}

TEST(DecodeSource, AddressTextIsTwoUpperCaseDigits) {
    EXPECT_EQ(client_side(command_frame(0x00, 0xE5)), "$00 (Temp: Req.)");
    EXPECT_EQ(client_side(command_frame(0x0A, 0xE5)), "$0A (Temp: Req.)");
    EXPECT_EQ(client_side(command_frame(0xAB, 0xE5)), "$AB (Temp: Req.)");
    EXPECT_EQ(bus_side(command_frame(0x0F, 0xFD)), "(Mem R/W $0F)");
}

// ---------------------------------------------------------------------------
// Push button and the "9" replacement

TEST(DecodePushButton, PrefersPressedOverReleasedOverMaintained) {
    EXPECT_EQ(bus_side(command_frame(1, 0x00, {0x01, 0x02, 0x04})),
              "(Push: Btn " + numero + "1 Pressed)");
    EXPECT_EQ(bus_side(command_frame(1, 0x00, {0x00, 0x02, 0x04})),
              "(Push: Btn " + numero + "2 Released)");
    EXPECT_EQ(bus_side(command_frame(1, 0x00, {0x00, 0x00, 0x04})),
              "(Push: Btn " + numero + "3 Maintained)");
    EXPECT_EQ(bus_side(command_frame(1, 0x00, {0x00, 0x00, 0x00})),
              "(Push: Btn " + numero + "0 Maintained)");
}

bool in_nine_list(int v) {
    static const std::set<int> list = {9,   19,  29,  39,  49,  59,  69,  79,  89,  90,  91,
                                       92,  93,  94,  95,  96,  97,  98,  99,  109, 119, 129,
                                       139, 149, 159, 169, 179, 189, 190, 191, 192, 193, 194,
                                       195, 196, 197, 198, 199, 209, 219, 229, 239, 249};
    return list.contains(v);
}

// 0 = Pressed (mask in F[5]), 1 = Released (F[6]), 2 = Maintained (F[7]).
class DecodePushButtonNine : public ::testing::TestWithParam<int> {};

TEST_P(DecodePushButtonNine, AllMasksReplacedExactlyForTheListedValues) {
    const int slot = GetParam();
    const char* const states[] = {" Pressed)", " Released)", " Maintained)"};
    int replaced = 0;
    for (int mask = 1; mask < 256; ++mask) {
        Bytes data{0, 0, 0};
        data[static_cast<std::size_t>(slot)] = static_cast<std::uint8_t>(mask);
        const std::string body = bus_side(command_frame(0x0A, 0x00, data));
        const bool single = (mask & (mask - 1)) == 0;
        if (in_nine_list(mask)) {
            ++replaced;
            EXPECT_FALSE(single);
            EXPECT_EQ(body, "(Temp out Status)") << "mask " << mask;
            EXPECT_EQ(client_side(command_frame(0x0A, 0x00, data)), "$0A (Temp out Status)");
        } else {
            int highest = 0;
            for (int b = 0; b < 8; ++b)
                if (mask & (1 << b)) highest = b + 1;
            const std::string number =
                single ? numero + std::to_string(highest) : std::to_string(mask);
            EXPECT_EQ(body, "(Push: Btn " + number + states[slot]) << "mask " << mask;
        }
    }
    EXPECT_EQ(replaced, 43);
}

INSTANTIATE_TEST_SUITE_P(PressedReleasedMaintained, DecodePushButtonNine,
                         ::testing::Values(0, 1, 2));

TEST(DecodePushButton, NineReplacementOnlyForCommandZero) {
    EXPECT_EQ(bus_side(command_frame(9, 0x02, {0x09})), "(RelOn 9 (%00001001))");
    EXPECT_EQ(bus_side(command_frame(9, 0x07, {0x00, 99})), "(DimSet:99%)");
    EXPECT_EQ(bus_side(command_frame(9, 0xFD)), "(Mem R/W $09)");
    // An address with a 9 does not count either: the client prefix is not part of the body.
    EXPECT_EQ(client_side(command_frame(0x99, 0x00, {0x01})),
              "$99 (Push: Btn " + numero + "1 Pressed)");
}

// ---------------------------------------------------------------------------
// Value conventions

TEST(DecodeConventions, NameBytesBelow32And255AreBlanks) {
    // F[5..11]: 0, 31, 32, 'A', 126, 254, 255
    EXPECT_EQ(bus_side(command_frame(1, 0xF0, {0, 31, 32, 'A', 126, 254, 255})),
              "(Name [   A~\xC3\xBE ])");
}

TEST(DecodeConventions, NameBytesAreReadAsWindows1252AndNoControlGetsThrough) {
    EXPECT_EQ(bus_side(command_frame(1, 0xF1, {0x20, 0xE9, 0xA0, 0x80, 0xB0, 0xFF, 0x7F})),
              "(Name [ \xC3\xA9\xC2\xA0\xE2\x82\xAC\xC2\xB0  ])");
    // 0x9B would be a terminal's CSI read as Latin-1; 0x81 is undefined.
    EXPECT_EQ(bus_side(command_frame(1, 0xF2, {0x20, 0x9B, 0x81, 0x9F, 0x1B})),
              "(Name [ \xE2\x80\xBA?\xC5\xB8 ])");
}

TEST(DecodeConventions, ShortNameStopsAtFifthCharacter) {
    EXPECT_EQ(bus_side(command_frame(1, 0xF2, {'a', 'b', 'c', 'd', 'e', 'f', 'g'})),
              "(Name [abcde])");
}

TEST(DecodeConventions, HalfDegreesAtBothEnds) {
    EXPECT_EQ(bus_side(command_frame(1, 0xE6, {0})), "(Temp: 0.0" + deg + "C)");
    EXPECT_EQ(bus_side(command_frame(1, 0xE6, {1})), "(Temp: 0.5" + deg + "C)");
    EXPECT_EQ(bus_side(command_frame(1, 0xE6, {20})), "(Temp: 10.0" + deg + "C)");
    EXPECT_EQ(bus_side(command_frame(1, 0xE6, {128})), "(Temp: 64.0" + deg + "C)");
    EXPECT_EQ(bus_side(command_frame(1, 0xE6, {255})), "(Temp: 127.5" + deg + "C)");
}

TEST(DecodeConventions, ClockKeepsFirstTwoDigitsOf100AndMore) {
    EXPECT_EQ(bus_side(command_frame(1, 0xD8, {0, 0, 0})), "(Clock 00:00)");
    EXPECT_EQ(bus_side(command_frame(1, 0xD8, {0, 10, 9})), "(Clock 10:09)");
    EXPECT_EQ(bus_side(command_frame(1, 0xD8, {0, 100, 123})), "(Clock 10:12)");
    EXPECT_EQ(bus_side(command_frame(1, 0xD8, {0, 199, 255})), "(Clock 19:25)");
}

TEST(DecodeConventions, DecimalsHaveNoPadding) {
    EXPECT_EQ(bus_side(command_frame(1, 0xDA, {0, 0, 0})), "(CntErr TX:0 RX:0BusOff:0)");
    EXPECT_EQ(bus_side(command_frame(1, 0xDA, {255, 100, 9})), "(CntErr TX:255 RX:100BusOff:9)");
    EXPECT_EQ(bus_side(command_frame(1, 0xEE, {0, 0})), "(Status-Dimmer 0%)");
    EXPECT_EQ(bus_side(command_frame(1, 0x0F, {0, 255})), "(Slider:255%)");
}

// ---------------------------------------------------------------------------
// Short pieces: positions the bytes do not reach read as 0.

std::string decode_exact(std::string_view source, const Bytes& bytes, std::size_t length) {
    // An exactly-sized heap copy, so that a sanitizer build catches a read past the end.
    std::unique_ptr<std::uint8_t[]> copy(length ? new std::uint8_t[length] : nullptr);
    std::copy(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length), copy.get());
    return decode_message(source, copy.get(), length);
}

class DecodeShortPiece : public ::testing::TestWithParam<Bytes> {};

TEST_P(DecodeShortPiece, MissingPositionsReadAsZero) {
    const Bytes& full = GetParam();
    for (std::size_t length = 0; length <= 12 && length <= full.size(); ++length) {
        Bytes padded(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(length));
        padded.resize(16, 0);
        for (const char* source : {"VMB", "IP"}) {
            EXPECT_EQ(decode_exact(source, full, length),
                      decode_message(source, padded.data(), padded.size()))
                << source << " length " << length;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Frames, DecodeShortPiece,
    ::testing::Values(command_frame(0x0A, 0x00, {0x00, 0x00, 0x09}),
                      command_frame(0x21, 0xF0, {0x01, 'K', 'i', 't', 'c', 'h', 'e'}),
                      command_frame(0x21, 0xF2, {'a', 'b', 'c', 'd', 'e'}),
                      command_frame(0x21, 0xFB, {0x01, 0x00, 0x21}),
                      command_frame(0x21, 0xDA, {10, 20, 30}),
                      command_frame(0x21, 0xD8, {0, 12, 34}),
                      command_frame(0x21, 0xED, {0x81, 0x18}), command_frame(0x21, 0xE6, {43}),
                      Bytes{0x0F, 0xFB, 0x21, 0x40, 0x95, 0x04}));

TEST(DecodeShortPiece, NothingAtAllIsSafe) {
    EXPECT_EQ(decode_message("VMB", nullptr, 0), "(Push: Btn " + numero + "0 Maintained)");
    EXPECT_EQ(decode_message("IP", nullptr, 0), "$00 (Push: Btn " + numero + "0 Maintained)");
    // A null pointer counts as no bytes, whatever length comes with it.
    EXPECT_EQ(decode_message("IP", nullptr, 10), "$00 (Push: Btn " + numero + "0 Maintained)");
}

TEST(DecodeShortPiece, ConcreteTruncations) {
    const Bytes name = command_frame(0x21, 0xF0, {0x01, 'K', 'i', 't', 'c', 'h', 'e'});
    EXPECT_EQ(decode_exact("VMB", name, 9), "(Name [ Kit   ])");
    EXPECT_EQ(decode_exact("IP", name, 3), "$21 (Push: Btn " + numero + "0 Maintained)");
    EXPECT_EQ(decode_exact("IP", Bytes{0x0F}, 1), "$00 (Push: Btn " + numero + "0 Maintained)");
    const Bytes relay = command_frame(0x21, 0xFB, {0x03, 0x00, 0x21});
    EXPECT_EQ(decode_exact("VMB", relay, 7), "(Status-Relay 3 ON:---- Blk:----)");
    EXPECT_EQ(decode_exact("VMB", Bytes{0x0F, 0xFB, 0x21, 0x40}, 4), "Scan $21 (rtr=1) ");
}

// ---------------------------------------------------------------------------
// Channel formatting

struct ChannelsCase {
    int value;
    int count;
    ChannelStyle style;
    std::string text;
};
void PrintTo(const ChannelsCase& c, std::ostream* os) {
    *os << "value " << c.value << " of " << c.count;
}

class FormatChannels : public ::testing::TestWithParam<ChannelsCase> {};

TEST_P(FormatChannels, Text) {
    const ChannelsCase& c = GetParam();
    EXPECT_EQ(format_channels(c.value, c.count, c.style), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Number, FormatChannels,
    ::testing::Values(ChannelsCase{0x05, 8, ChannelStyle::number, "5"},
                      ChannelsCase{0x04, 8, ChannelStyle::number, numero + "3"},
                      ChannelsCase{0x00, 8, ChannelStyle::number, numero + "0"},
                      ChannelsCase{0x01, 8, ChannelStyle::number, numero + "1"},
                      ChannelsCase{0x80, 8, ChannelStyle::number, numero + "8"},
                      ChannelsCase{0xFF, 8, ChannelStyle::number, "255"},
                      ChannelsCase{0x10, 4, ChannelStyle::number, numero + "0"},
                      ChannelsCase{0x13, 4, ChannelStyle::number, "19"},
                      ChannelsCase{0x18, 4, ChannelStyle::number, numero + "4"},
                      ChannelsCase{0xF1, 4, ChannelStyle::number, numero + "1"}));

INSTANTIATE_TEST_SUITE_P(Bits, FormatChannels,
                         ::testing::Values(ChannelsCase{0x05, 8, ChannelStyle::bits, "%00000101"},
                                           ChannelsCase{0x00, 8, ChannelStyle::bits, "%00000000"},
                                           ChannelsCase{0xFF, 8, ChannelStyle::bits, "%11111111"},
                                           ChannelsCase{0x80, 8, ChannelStyle::bits, "%10000000"},
                                           ChannelsCase{0x13, 4, ChannelStyle::bits, "%0011"},
                                           ChannelsCase{0xA8, 4, ChannelStyle::bits, "%1000"}));

INSTANTIATE_TEST_SUITE_P(
    NumberAndBits, FormatChannels,
    ::testing::Values(
        ChannelsCase{0x05, 8, ChannelStyle::number_and_bits, "5 (%00000101)"},
        ChannelsCase{0x01, 8, ChannelStyle::number_and_bits, numero + "1 (%00000001)"},
        ChannelsCase{0x00, 8, ChannelStyle::number_and_bits, numero + "0 (%00000000)"},
        ChannelsCase{0xC0, 8, ChannelStyle::number_and_bits, "192 (%11000000)"},
        ChannelsCase{0x13, 4, ChannelStyle::number_and_bits, "19 (%0011)"}));

// Outside the byte and channel ranges the gateway uses: the low 8 bits, at most 8 channels.
INSTANTIATE_TEST_SUITE_P(
    OutOfRange, FormatChannels,
    ::testing::Values(ChannelsCase{0x105, 8, ChannelStyle::number, "5"},
                      ChannelsCase{-1, 8, ChannelStyle::number, "255"},
                      ChannelsCase{0x05, 0, ChannelStyle::number_and_bits, numero + "0 (%)"},
                      ChannelsCase{0x05, -3, ChannelStyle::bits, "%"},
                      ChannelsCase{0x05, 12, ChannelStyle::bits, "%00000101"}));

struct ChannelMapCase {
    int value;
    int count;
    std::string text;
};
void PrintTo(const ChannelMapCase& c, std::ostream* os) {
    *os << "value " << c.value << " of " << c.count;
}

class FormatChannelMap : public ::testing::TestWithParam<ChannelMapCase> {};

TEST_P(FormatChannelMap, Text) {
    const ChannelMapCase& c = GetParam();
    EXPECT_EQ(format_channel_map(c.value, c.count), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, FormatChannelMap,
    ::testing::Values(ChannelMapCase{0x05, 4, "-3-1"}, ChannelMapCase{0x0F, 4, "4321"},
                      ChannelMapCase{0x00, 4, "----"}, ChannelMapCase{0x0A, 4, "4-2-"},
                      ChannelMapCase{0x08, 4, "4---"}, ChannelMapCase{0xF1, 4, "---1"},
                      ChannelMapCase{0x81, 8, "8------1"}, ChannelMapCase{0x0F, 0, ""},
                      ChannelMapCase{0x1FF, 9, "87654321"}));

}  // namespace
}  // namespace quillon
