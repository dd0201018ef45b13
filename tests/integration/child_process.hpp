#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace quillon::integration {

using SteadyClock = std::chrono::steady_clock;
using Milliseconds = std::chrono::milliseconds;

// A program started in a working directory of its own with its standard
// input, output and error on pipes. Whatever a test does, the destructor kills
// the program if it still runs and reaps it, so nothing is left behind.
class ChildProcess {
  public:
    using TextCheck = std::function<bool(const std::string&)>;

    // `environment`: "NAME=value" entries over those of the test.
    ChildProcess(const std::vector<std::string>& argv,
                 const std::filesystem::path& working_directory,
                 const std::vector<std::string>& environment = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    // False once the program no longer reads its input.
    bool write_input(std::string_view text);
    void send_signal(int signal_number);

    std::string output() const;  // standard output so far
    std::string errors() const;  // standard error so far

    // Waits until `done` holds for everything the stream has given so far.
    bool wait_output(const TextCheck& done, Milliseconds patience);
    bool wait_errors(const TextCheck& done, Milliseconds patience);

    // The exit status (128 + the signal for a killed program) once the
    // program has ended and closed its output; nothing if it still runs when
    // patience runs out.
    std::optional<int> wait_exit(Milliseconds patience);

  private:
    struct Stream {
        int fd = -1;
        std::string text;
        bool closed = false;
        std::thread reader;
    };

    void read_stream(Stream& stream);
    bool wait_stream(const Stream& stream, const TextCheck& done, Milliseconds patience);
    bool reap(bool block);

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    Stream out_;
    Stream err_;
    int input_fd_ = -1;
    pid_t pid_ = -1;
    std::optional<int> status_;
    std::atomic<bool> stopping_{false};
};

}  // namespace quillon::integration
