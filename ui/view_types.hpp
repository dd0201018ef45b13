#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quillon {

struct Rgb {
    std::uint8_t r = 0;
    std::uint8_t g = 0;
    std::uint8_t b = 0;
    friend bool operator==(const Rgb&, const Rgb&) = default;
};

// The built-in row icons.
inline constexpr int no_icon = -1;
inline constexpr int icon_client_frame_bad = 0;  // red disc, arrow right
inline constexpr int icon_client_frame = 1;      // blue disc, arrow right
inline constexpr int icon_bus_frame_bad = 2;     // red disc, arrow left
inline constexpr int icon_bus_frame = 3;         // green disc, arrow left
inline constexpr int icon_client_live = 4;       // green and blue arrows
inline constexpr int icon_client_ended = 5;      // grey and black arrows, broken
inline constexpr int icon_count = 6;

// Traffic list columns, in the window's order (a saved list and the feed
// lines write them in this order too).
enum class TrafficColumn : int {
    direction = 0,  // "N-V", the icon's column: empty text
    time = 1,       // "Time"
    hex = 2,        // "Frame Hex Code"
    length = 3,     // "Ln"
    checksum = 4,   // "Cs"
    source = 5,     // "Source": the description and where the frame came from
};
inline constexpr int traffic_column_count = 6;
struct TrafficRow {
    std::array<std::string, traffic_column_count> cells;
    int icon = no_icon;
    Rgb colour;
    bool colour_is_background = false;  // the bus-silence row colours its background

    std::string& cell(TrafficColumn c) { return cells[static_cast<std::size_t>(c)]; }
    const std::string& cell(TrafficColumn c) const { return cells[static_cast<std::size_t>(c)]; }
};

// Client list columns, in the window's order.
enum class ClientColumn : int {
    icon = 0,     // "": the icon's column, empty text
    address = 1,  // "IP Address and port"
    start = 2,    // "Start Date"
    end = 3,      // "End Date"
    errors = 4,   // "Nb Err"
};
inline constexpr int client_column_count = 5;
struct ClientRow {
    std::array<std::string, client_column_count> cells;
    int icon = no_icon;
    // Which client the row shows, so that a view can keep it selected across
    // redraws and find it by address: its connection handle (never 0 for a
    // real client), peer address and port, and whether it is still connected.
    std::int32_t client = 0;
    std::string address;
    std::uint16_t port = 0;
    bool live = false;

    std::string& cell(ClientColumn c) { return cells[static_cast<std::size_t>(c)]; }
    const std::string& cell(ClientColumn c) const { return cells[static_cast<std::size_t>(c)]; }
};

// A plain RGB picture, rows top to bottom, three bytes a pixel.
struct RgbImage {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels;

    RgbImage() = default;
    RgbImage(int w, int h)
        : width(w),
          height(h),
          pixels(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 3) {}
    Rgb at(int x, int y) const {
        const auto i = (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                        static_cast<std::size_t>(x)) *
                       3;
        return {pixels[i], pixels[i + 1], pixels[i + 2]};
    }
};

enum class MessageIcon { none, error, information };

// The controls of the main window. The numbers name the window's widgets
// ("control_6"), as in the window they were drawn from.
enum class Control : int {
    clear = 2,
    save = 3,
    filter_toggle = 4,
    filter_text = 5,
    traffic_list = 6,
    client_list = 7,
    rx_graph = 8,
    tx_graph = 9,
    disconnect = 12,
    disconnect_all = 13,
    quit = 14,
    help = 15,
    rx_rate = 16,
    tx_rate = 17,
    invert_toggle = 25,
    delay_check = 26,
    debug_check = 27,
    set_clock = 40,  // sets the modules' clocks now
};

// The controls of the first-configuration dialog (window 1), numbered as
// the main window's are.
enum class DialogControl : int {
    ok = 28,
    quit = 29,
    intro = 30,         // the caption above the questions
    serial_label = 31,  // "Enter the serial port name (eg. COM4)"
    port_label = 32,    // "Enter the Ethernet port number(>1024)"
    serial_port = 33,
    port = 34,
    usb_module = 35,
    rs_module = 36,
};

// The window's captions that no control reads back.
enum class Label : int {
    bandwidth = 18,  // "Velbus Bandwidth"
    rx_unit = 20,    // "bps (RX)"
    tx_unit = 21,    // "bps (TX)"
    time = 22,       // "Time"
};

// Status bar fields, left to right. The numbers are the browsers' too: a
// status message names its field by number.
enum class StatusField : int {
    uptime = 0,
    bus_frames = 1,     // "V:"
    client_frames = 2,  // "N:"
    serial = 3,
    ethernet = 4,
    clock = 5,
    analyzers = 6,  // "A:"
};
inline constexpr int status_field_count = 7;

// The number a control, caption or field goes by where it is written out.
constexpr int number_of(Control c) {
    return static_cast<int>(c);
}
constexpr int number_of(DialogControl c) {
    return static_cast<int>(c);
}
constexpr int number_of(Label l) {
    return static_cast<int>(l);
}
constexpr int number_of(StatusField f) {
    return static_cast<int>(f);
}

}  // namespace quillon
