#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quillon {

struct SerialLineSettings {
    std::string name;  // a device path, or "COMn"
    std::int32_t baud = 0;
    std::int32_t parity = 0;  // 0 none, 1 odd, 2 even, 3 mark, 4 space
    std::int32_t data_bits = 0;
    float stop_bits = 0.0f;      // 1.0 one, 2.0 two, anything else one and a half
    std::int32_t handshake = 0;  // 0 none, 1 RTS held on, 2 RTS/CTS, 3 XON/XOFF
};

// Why a serial port did not open, for a message that says what to do.
enum class SerialOpenProblem { none, permission, not_found, busy, settings, other };
struct SerialOpenError {
    SerialOpenProblem problem = SerialOpenProblem::none;
    std::string reason;  // the system's words
};

// The serial link to the bus interface module (serial port 0).
class SerialPort {
  public:
    virtual ~SerialPort() = default;
    [[nodiscard]] virtual bool open(const SerialLineSettings& settings) = 0;
    // Why the last open failed.
    virtual SerialOpenError last_open_error() const = 0;
    virtual void close() = 0;
    virtual bool is_open() const = 0;
    // Bytes waiting in the input queue; -1 when the port has failed.
    virtual std::int64_t bytes_waiting() = 0;
    // Reads up to max bytes; the count read, or -1 when the port has failed.
    virtual std::int64_t read(std::uint8_t* buffer, std::size_t max) = 0;
    // Writes all bytes in one write; the count accepted, or -1 when the port has failed.
    virtual std::int64_t write(const std::uint8_t* bytes, std::size_t count) = 0;
    virtual void set_dtr(bool on) = 0;
    virtual void set_rts(bool on) = 0;
};

}  // namespace quillon
