#pragma once

#include <array>
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

// Traffic list columns: "N-V", "Time", "Frame Hex Code", "Ln", "Cs", "Source".
inline constexpr int traffic_column_count = 6;
struct TrafficRow {
    std::array<std::string, traffic_column_count> cells;
    int icon = no_icon;
    Rgb colour;
    bool colour_is_background = false;  // the bus-silence row colours its background
};

// Client list columns: "", "IP Address and port", "Start Date", "End Date", "Nb Err".
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

// Control numbers of the main window.
namespace control {
inline constexpr int clear = 2;
inline constexpr int save = 3;
inline constexpr int filter_toggle = 4;
inline constexpr int filter_text = 5;
inline constexpr int traffic_list = 6;
inline constexpr int client_list = 7;
inline constexpr int rx_graph = 8;
inline constexpr int tx_graph = 9;
inline constexpr int disconnect = 12;
inline constexpr int disconnect_all = 13;
inline constexpr int quit = 14;
inline constexpr int help = 15;
inline constexpr int rx_rate = 16;
inline constexpr int tx_rate = 17;
inline constexpr int invert_toggle = 25;
inline constexpr int delay_check = 26;
inline constexpr int debug_check = 27;
}  // namespace control

// The window's captions that no control reads back.
enum class Label : int {
    bandwidth = 18,  // "Velbus Bandwidth"
    rx_unit = 20,    // "bps (RX)"
    tx_unit = 21,    // "bps (TX)"
    time = 22,       // "Time"
};

// Status bar fields.
namespace status_field {
inline constexpr int uptime = 0;
inline constexpr int bus_frames = 1;     // "V:"
inline constexpr int client_frames = 2;  // "N:"
inline constexpr int serial = 3;
inline constexpr int ethernet = 4;
inline constexpr int clock = 5;
inline constexpr int analyzers = 6;  // "A:"
inline constexpr int count = 7;
}  // namespace status_field

}  // namespace quillon
