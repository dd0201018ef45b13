#include "platform/qt/qt_serial_port.hpp"

#include <cerrno>
#include <cstring>

#include <QFileInfo>

namespace quillon {
namespace {

bool is_fatal(QSerialPort::SerialPortError e) {
    // Line-control requests a device cannot carry out (a pseudo-terminal has no
    // DTR) and time-outs are not failures of the link.
    switch (e) {
        case QSerialPort::NoError:
        case QSerialPort::UnsupportedOperationError:
        case QSerialPort::TimeoutError:
            return false;
        default:
            return true;
    }
}

}  // namespace

std::string serial_device_path(const std::string& name) {
    if (name.size() > 3 && (name.rfind("COM", 0) == 0 || name.rfind("com", 0) == 0)) {
        const std::string digits = name.substr(3);
        if (digits.find_first_not_of("0123456789") == std::string::npos && digits.size() < 4) {
            const int n = std::stoi(digits);
            if (n >= 1 && !QFileInfo::exists(QString::fromStdString("/dev/" + name))) {
                return "/dev/ttyS" + std::to_string(n - 1);
            }
        }
    }
    return name;
}

QtSerialPort::QtSerialPort(EventWaiter& waiter) {
    QObject::connect(&port_, &QSerialPort::readyRead, [&waiter] { waiter.wake(); });
    QObject::connect(&port_, &QSerialPort::errorOccurred,
                     [this, &waiter](QSerialPort::SerialPortError e) {
                         if (port_.isOpen() && is_fatal(e)) {
                             failed_ = true;
                             waiter.wake();
                         }
                     });
    waiter.add_pending_check(
        [this] { return port_.isOpen() && (failed_ || port_.bytesAvailable() > 0); });
}

bool QtSerialPort::open(const SerialLineSettings& s) {
    close();
    failed_ = false;
    open_error_ = {SerialOpenProblem::settings, "line settings the port cannot take"};
    if (s.name.empty() || s.baud <= 0 || s.data_bits < 5 || s.data_bits > 8) return false;
    static constexpr QSerialPort::Parity parities[] = {
        QSerialPort::NoParity, QSerialPort::OddParity, QSerialPort::EvenParity,
        QSerialPort::MarkParity, QSerialPort::SpaceParity};
    if (s.parity < 0 || s.parity > 4 || s.handshake < 0 || s.handshake > 3) return false;

    port_.setPortName(QString::fromStdString(serial_device_path(s.name)));
    port_.setReadBufferSize(0);  // the loop reads every pass; nothing may be dropped
    if (!port_.open(QIODevice::ReadWrite)) {
        switch (port_.error()) {
            case QSerialPort::PermissionError:
                open_error_ = {SerialOpenProblem::permission, std::strerror(EACCES)};
                break;
            case QSerialPort::DeviceNotFoundError:
                open_error_ = {SerialOpenProblem::not_found, std::strerror(ENOENT)};
                break;
            case QSerialPort::OpenError:
                open_error_ = {SerialOpenProblem::busy, std::strerror(EBUSY)};
                break;
            default:
                open_error_ = {SerialOpenProblem::other, port_.errorString().toStdString()};
                break;
        }
        port_.clearError();
        return false;
    }
    open_error_ = {};
    const QSerialPort::StopBits stop = s.stop_bits == 1.0f   ? QSerialPort::OneStop
                                       : s.stop_bits == 2.0f ? QSerialPort::TwoStop
                                                             : QSerialPort::OneAndHalfStop;
    const QSerialPort::FlowControl flow = s.handshake == 2   ? QSerialPort::HardwareControl
                                          : s.handshake == 3 ? QSerialPort::SoftwareControl
                                                             : QSerialPort::NoFlowControl;
    const bool ok = port_.setBaudRate(s.baud) && port_.setParity(parities[s.parity]) &&
                    port_.setDataBits(static_cast<QSerialPort::DataBits>(s.data_bits)) &&
                    port_.setStopBits(stop) && port_.setFlowControl(flow);
    if (!ok) {
        port_.close();
        return false;
    }
    if (s.handshake == 1) port_.setRequestToSend(true);
    port_.clearError();
    return true;
}

void QtSerialPort::close() {
    if (port_.isOpen()) port_.close();
    failed_ = false;
}

std::int64_t QtSerialPort::bytes_waiting() {
    if (!port_.isOpen() || failed_) return -1;
    return port_.bytesAvailable();
}

std::int64_t QtSerialPort::read(std::uint8_t* buffer, std::size_t max) {
    if (!port_.isOpen() || failed_) return -1;
    const qint64 n = port_.read(reinterpret_cast<char*>(buffer), static_cast<qint64>(max));
    return n < 0 ? -1 : n;
}

std::int64_t QtSerialPort::write(const std::uint8_t* bytes, std::size_t count) {
    if (!port_.isOpen() || failed_) return -1;
    const qint64 n = port_.write(reinterpret_cast<const char*>(bytes), static_cast<qint64>(count));
    if (n < 0) return -1;
    port_.flush();  // out now, not at the next turn of the event loop
    return failed_ ? -1 : n;
}

void QtSerialPort::set_dtr(bool on) {
    port_.setDataTerminalReady(on);
}
void QtSerialPort::set_rts(bool on) {
    port_.setRequestToSend(on);
}

}  // namespace quillon
