#pragma once

#include <QSerialPort>

#include "bus/serial_port.hpp"
#include "platform/qt/event_waiter.hpp"

namespace quillon {

// "COMn" on a system without COM ports names /dev/ttyS(n-1); anything else
// (a device path, a pseudo-terminal) is used as given.
std::string serial_device_path(const std::string& name);

// Serial port 0 on QSerialPort. Arriving bytes wake the loop.
class QtSerialPort : public SerialPort {
  public:
    explicit QtSerialPort(EventWaiter& waiter);

    bool open(const SerialLineSettings& settings) override;
    SerialOpenError last_open_error() const override { return open_error_; }
    void close() override;
    bool is_open() const override { return port_.isOpen(); }
    std::int64_t bytes_waiting() override;
    std::int64_t read(std::uint8_t* buffer, std::size_t max) override;
    std::int64_t write(const std::uint8_t* bytes, std::size_t count) override;
    void set_dtr(bool on) override;
    void set_rts(bool on) override;

  private:
    QSerialPort port_;
    bool failed_ = false;
    SerialOpenError open_error_;
};

}  // namespace quillon
