#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "bus/frame_cutter.hpp"
#include "bus/queue_entry.hpp"
#include "bus/serial_device_finder.hpp"
#include "bus/serial_port.hpp"

namespace quillon {

// Longest time the start of a frame waits for the rest of it before it is
// judged as it stands (a 21-byte frame takes under 6 ms at 38400 baud).
inline constexpr std::int64_t serial_hold_limit_ms = 50;
// A lost port is tried again after this long.
inline constexpr std::int64_t serial_retry_interval_ms = 2000;
// A bus that has sent nothing for this long is reported silent, once.
inline constexpr std::int64_t bus_silence_limit_ms = 120000;
// What one read may take, together with a held frame start.
inline constexpr std::size_t serial_buffer_bytes = 4096;

enum class LinkState { closed, open, lost };

// The serial link to the bus interface module: the port with its line
// settings, whether it is open or lost and being tried again, the start of a
// frame that came only in part, and what the bus has sent (when, how much).
class SerialLink {
  public:
    explicit SerialLink(SerialPort& port);

    // The line to open; the RS-232 module wants RTS on and DTR off. With
    // search_port_name as its name, every opening asks the finder afresh (a
    // module plugged in again may have another path) and takes the first of
    // its devices that opens.
    void configure(const SerialLineSettings& line, bool rs_module,
                   SerialDeviceFinder* finder = nullptr);
    bool searches() const { return line_.name == search_port_name; }
    // The device in use, or last in use; the configured name until one is found.
    const std::string& port_name() const { return device_.empty() ? line_.name : device_; }
    // Why the port named in the settings did not open.
    SerialOpenError open_error() const { return port_.last_open_error(); }

    [[nodiscard]] bool open();
    // The devices found at the latest opening that did not open.
    const std::vector<std::string>& unopened() const { return unopened_; }
    // Nothing opened at the start: the link counts as lost from `now_ms`, so
    // that it is tried again like a lost one.
    void lose(std::int64_t now_ms);
    void close();
    // Whether a port of that name opens (at 115200 baud, 8 data bits, no
    // parity, one stop bit); it is closed again at once.
    [[nodiscard]] bool port_opens(const std::string& name);
    LinkState state() const { return state_; }

    struct Received {
        std::int32_t frames = 0;  // entries appended
        bool lost = false;        // the port failed in this call
    };
    // Reads what the module delivered, cuts it into frames and appends an
    // entry per candidate to `out`. A held start is given up only when the
    // port has nothing more for it.
    Received receive(std::int64_t now_ms, FrameTime stamp, std::vector<QueueEntry>& out);

    // Writes one frame in one write. False when the link is down or fails
    // now (then `lost_now`).
    [[nodiscard]] bool write(std::span<const std::uint8_t> frame, std::int64_t now_ms,
                             bool& lost_now);

    // A lost port is opened again after more than serial_retry_interval_ms;
    // true when it opened now.
    [[nodiscard]] bool retry(std::int64_t now_ms);

    // True once per silence of more than bus_silence_limit_ms.
    [[nodiscard]] bool silence_begins(std::int64_t now_ms);

    // Bytes received since the last call.
    std::int32_t take_received_bytes();

    // The next moment something is due here without input: a held start's
    // give-up, a retry of a lost port, the silence alarm.
    std::int64_t next_due_ms() const;

    // Marks the start of the watch (the loop's first pass).
    void start_watch(std::int64_t now_ms) { last_receive_ms_ = now_ms; }

  private:
    [[nodiscard]] bool open_device(const std::string& name);
    void fail(std::int64_t now_ms);

    SerialPort& port_;
    SerialLineSettings line_;
    bool rs_module_ = false;
    SerialDeviceFinder* finder_ = nullptr;
    std::string device_;  // the device found, when searching
    std::vector<std::string> unopened_;
    LinkState state_ = LinkState::closed;
    FrameCutter cutter_;
    std::int64_t retry_ms_ = 0;
    std::array<std::uint8_t, serial_buffer_bytes> buffer_{};
    std::int64_t last_receive_ms_ = 0;
    bool silence_reported_ = false;
    std::uint32_t received_bytes_ = 0;
};

}  // namespace quillon
