#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
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
    RgbImage(int w, int h) : width(w), height(h), pixels(static_cast<std::size_t>(w * h * 3)) {}
    Rgb at(int x, int y) const {
        const auto i = static_cast<std::size_t>((y * width + x) * 3);
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

// Status bar fields.
namespace status_field {
inline constexpr int uptime = 0;
inline constexpr int bus_frames = 1;     // "V:"
inline constexpr int client_frames = 2;  // "N:"
inline constexpr int serial = 3;
inline constexpr int ethernet = 4;
inline constexpr int clock = 5;
inline constexpr int analyzers = 6;  // "A:"
}  // namespace status_field

// Window event codes.
inline constexpr std::int32_t event_none = 0;
inline constexpr std::int32_t event_control = 13100;  // a control was used
inline constexpr std::int32_t event_close = 13116;    // a window's close button

struct WindowEvent {
    std::int32_t code = 0;     // 0 none, 13100 control used, 13116 close button
    std::int32_t control = 0;  // the control's number for 13100
    // The wait ended early because the serial port or the network has something.
    bool input_ready = false;
};

// What the first-configuration dialog (or its console questions) hands back.
struct FirstConfigurationAnswer {
    enum class Action { ok, quit, unavailable };
    Action action = Action::quit;
    std::string serial_port_name;  // field 33
    std::string port_text;         // field 34, digits only
    bool rs_module = false;        // option 36 selected instead of 35
};

// The operator's window, or its headless stand-in. It shows what the gateway
// tells it and reports what the operator did; it holds no gateway logic.
class OperatorView {
  public:
    virtual ~OperatorView() = default;

    virtual void create_main_window() = 0;
    virtual void set_title(std::string_view title) = 0;

    // Traffic list (control 6): rows counted from 0 at the top.
    virtual void traffic_insert_top(const TrafficRow& row) = 0;
    virtual void traffic_remove(int row) = 0;
    virtual void traffic_clear() = 0;

    // Client list (control 7), rebuilt whole; rows top first.
    virtual void show_clients(const std::vector<ClientRow>& rows) = 0;
    // The selected row of the client list, -1 when none.
    virtual int selected_client_row() = 0;

    virtual void set_status_field(int field, std::string_view text) = 0;
    virtual void set_rate_field(int control, std::string_view text) = 0;
    virtual void show_graph(int control, const RgbImage& image) = 0;

    // States held by the controls, read when needed.
    virtual bool filter_on() = 0;        // toggle 4 down
    virtual bool filter_inverted() = 0;  // toggle 25 "!" down
    virtual std::string filter_text() = 0;
    virtual bool delay_ticked() = 0;  // check box 26
    virtual bool debug_ticked() = 0;  // check box 27

    // Modal: the loop is halted until the operator answers.
    virtual void message_box(std::string_view title, std::string_view text, MessageIcon icon) = 0;
    virtual bool ask_yes_no(std::string_view title, std::string_view text) = 0;

    virtual void open_user_guide() = 0;

    // Waits at most timeout_ms for an operator event; returns sooner when the
    // serial port or the network has something.
    virtual WindowEvent wait_event(std::int32_t timeout_ms) = 0;

    // The first-configuration dialog: shown, then asked until it ends.
    virtual FirstConfigurationAnswer wait_first_configuration() = 0;
    virtual void close_first_configuration() = 0;
};

}  // namespace quillon
