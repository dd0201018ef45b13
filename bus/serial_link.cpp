#include "bus/serial_link.hpp"

#include <algorithm>

namespace quillon {

SerialLink::SerialLink(SerialPort& port)
    : port_(port),
      cutter_(RejectedRun::start_byte, {serial_hold_limit_ms, HoldLimit::Since::first_byte}) {}

void SerialLink::configure(const SerialLineSettings& line, bool rs_module,
                           SerialDeviceFinder* finder) {
    line_ = line;
    rs_module_ = rs_module;
    finder_ = finder;
    device_.clear();
    unopened_.clear();
}

bool SerialLink::open() {
    if (!searches()) return open_device(line_.name);
    unopened_.clear();
    if (finder_ == nullptr) return false;
    for (const std::string& device : finder_->interface_devices()) {
        if (open_device(device)) {
            device_ = device;
            return true;
        }
        unopened_.push_back(device);
    }
    return false;
}

void SerialLink::lose(std::int64_t now_ms) {
    state_ = LinkState::lost;
    retry_ms_ = now_ms;
}

bool SerialLink::open_device(const std::string& name) {
    SerialLineSettings line = line_;
    line.name = name;
    if (!port_.open(line)) return false;
    if (rs_module_) {
        port_.set_rts(true);
        port_.set_dtr(false);
    }
    state_ = LinkState::open;
    return true;
}

bool SerialLink::port_opens(const std::string& name) {
    SerialLineSettings test;
    test.name = name;
    test.baud = 115200;
    test.data_bits = 8;
    test.stop_bits = 1.0f;
    if (!port_.open(test)) return false;
    port_.close();
    return true;
}

void SerialLink::close() {
    port_.close();
    state_ = LinkState::closed;
}

void SerialLink::fail(std::int64_t now_ms) {
    port_.close();
    state_ = LinkState::lost;
    retry_ms_ = now_ms;
    cutter_.drop();
}

SerialLink::Received SerialLink::receive(std::int64_t now_ms, FrameTime stamp,
                                         std::vector<QueueEntry>& out) {
    Received result;
    const auto append = [&](const Cut& cut) {
        out.push_back({{cut.bytes.begin(), cut.bytes.end()}, cut.status, stamp, 0, 0});
        ++result.frames;
    };

    bool read_something = false;
    if (state_ == LinkState::open) {
        const std::int64_t waiting = port_.bytes_waiting();
        if (waiting < 0) {
            fail(now_ms);
            result.lost = true;
        } else if (waiting > 0) {
            // What does not fit beside a held start waits for the next pass.
            const std::size_t ask =
                std::min(static_cast<std::size_t>(waiting), buffer_.size() - cutter_.held_size());
            received_bytes_ += static_cast<std::uint32_t>(ask);
            const std::int64_t got = port_.read(buffer_.data(), ask);
            if (got < 0) {
                fail(now_ms);
                result.lost = true;
            } else if (got > 0) {
                read_something = true;
                last_receive_ms_ = now_ms;
                silence_reported_ = false;
                cutter_.feed(std::span(buffer_.data(), static_cast<std::size_t>(got)), now_ms,
                             append);
            }
        }
    }
    // A busy loop may come back late, and the rest of a held start may be
    // waiting already: it gives up only when the port had nothing.
    if (!read_something && cutter_.give_up_due(now_ms)) cutter_.give_up(append);
    return result;
}

bool SerialLink::write(std::span<const std::uint8_t> frame, std::int64_t now_ms, bool& lost_now) {
    lost_now = false;
    if (state_ != LinkState::open) return false;
    if (port_.write(frame.data(), frame.size()) >= 0) return true;
    fail(now_ms);
    lost_now = true;
    return false;
}

bool SerialLink::retry(std::int64_t now_ms) {
    if (state_ != LinkState::lost || now_ms - retry_ms_ <= serial_retry_interval_ms) return false;
    retry_ms_ = now_ms;
    return open();
}

bool SerialLink::silence_begins(std::int64_t now_ms) {
    if (silence_reported_ || now_ms - last_receive_ms_ <= bus_silence_limit_ms) return false;
    silence_reported_ = true;
    return true;
}

std::int64_t SerialLink::next_due_ms() const {
    std::int64_t due = cutter_.give_up_at_ms();
    if (state_ == LinkState::lost) due = std::min(due, retry_ms_ + serial_retry_interval_ms + 1);
    if (!silence_reported_) due = std::min(due, last_receive_ms_ + bus_silence_limit_ms + 1);
    return due;
}

std::int32_t SerialLink::take_received_bytes() {
    const auto n = static_cast<std::int32_t>(received_bytes_);
    received_bytes_ = 0;
    return n;
}

}  // namespace quillon
