#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "velbus_frames.hpp"

namespace quillon::integration {

// The bus interface module as the gateway sees it: the master side of a
// pseudo-terminal in raw mode, whose slave path goes into the settings file.
// A reader thread takes in everything the gateway writes and notes when each
// byte arrived, on a steady clock.
class PseudoTerminal {
  public:
    using Time = std::chrono::steady_clock::time_point;

    struct TimedFrame {
        Bytes bytes;
        Time arrived;  // when its last byte was read
    };

    PseudoTerminal();
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    bool is_open() const { return master_ >= 0; }
    const std::string& slave_path() const { return slave_path_; }

    bool write(std::span<const std::uint8_t> bytes);

    // Closes the master side, as when the module is unplugged: the gateway's
    // side of the line hangs up.
    void close();

    Bytes received() const;
    std::vector<TimedFrame> received_frames() const;
    // Waits until at least `count` well-formed frames have come.
    bool wait_frames(std::size_t count, std::chrono::milliseconds patience);

  private:
    void read_loop();

    int master_ = -1;
    std::string slave_path_;
    std::thread reader_;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    Bytes bytes_;
    std::vector<Time> byte_times_;
};

}  // namespace quillon::integration
