#pragma once

#include <cstdint>
#include <deque>
#include <set>
#include <string>
#include <vector>

#include "bus/serial_port.hpp"
#include "tests/fakes/fake_clock.hpp"

namespace quillon::testing {

// A serial port whose incoming bytes the test delivers and whose written
// frames it sees with their times.
class FakeSerialPort : public SerialPort {
  public:
    struct Write {
        std::int64_t time_ms;
        std::vector<std::uint8_t> bytes;
    };

    explicit FakeSerialPort(FakeClock& clock) : clock_(clock) {}

    std::set<std::string> missing;  // names that cannot be opened
    std::vector<SerialLineSettings> opened;
    std::vector<std::string> line_calls;  // "rts:1", "dtr:0" in order
    std::vector<Write> writes;
    std::deque<std::uint8_t> incoming;
    bool failed = false;             // the device is gone: I/O reports errors
    std::int64_t short_read_by = 0;  // a read returns this many bytes fewer
    std::int64_t extra_waiting = 0;  // bytes_waiting reports this many more
    bool open_now = false;
    int close_count = 0;

    void deliver(const std::vector<std::uint8_t>& bytes) {
        incoming.insert(incoming.end(), bytes.begin(), bytes.end());
    }

    bool open(const SerialLineSettings& settings) override {
        opened.push_back(settings);
        if (missing.count(settings.name) != 0 || failed) return false;
        open_now = true;
        return true;
    }
    // Why a name in `missing` does not open.
    SerialOpenError open_error{SerialOpenProblem::not_found, "No such file or directory"};
    SerialOpenError last_open_error() const override { return open_error; }
    void close() override {
        open_now = false;
        ++close_count;
    }
    bool is_open() const override { return open_now; }
    std::int64_t bytes_waiting() override {
        if (failed) return -1;
        return static_cast<std::int64_t>(incoming.size()) + extra_waiting;
    }
    std::int64_t read(std::uint8_t* buffer, std::size_t max) override {
        if (failed) return -1;
        std::size_t n = std::min(max, incoming.size());
        if (short_read_by > 0)
            n -= std::min<std::size_t>(n, static_cast<std::size_t>(short_read_by));
        for (std::size_t i = 0; i < n; ++i) {
            buffer[i] = incoming.front();
            incoming.pop_front();
        }
        max_read_request = std::max(max_read_request, max);
        return static_cast<std::int64_t>(n);
    }
    std::int64_t write(const std::uint8_t* bytes, std::size_t count) override {
        if (failed) return -1;
        writes.push_back({clock_.now, std::vector<std::uint8_t>(bytes, bytes + count)});
        return static_cast<std::int64_t>(count);
    }
    void set_dtr(bool on) override { line_calls.push_back(std::string("dtr:") + (on ? "1" : "0")); }
    void set_rts(bool on) override { line_calls.push_back(std::string("rts:") + (on ? "1" : "0")); }

    std::size_t max_read_request = 0;

  private:
    FakeClock& clock_;
};

}  // namespace quillon::testing
