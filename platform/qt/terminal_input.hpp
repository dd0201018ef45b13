#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

class QSocketNotifier;

namespace quillon {

// Lines typed on a file descriptor (standard input), read without blocking
// the loop. The descriptor gets its blocking mode back at the end, since it
// is usually the terminal the shell shares.
class TerminalInput {
  public:
    // `on_line` gets each complete line, without its line end.
    TerminalInput(int fd, std::function<void(const std::string&)> on_line);
    ~TerminalInput();
    TerminalInput(const TerminalInput&) = delete;
    TerminalInput& operator=(const TerminalInput&) = delete;

    // Waits for one typed line (for questions asked before the loop runs);
    // nothing at the end of the input.
    [[nodiscard]] std::optional<std::string> wait_line();

  private:
    void read_available();

    int fd_;
    int saved_flags_ = -1;
    std::function<void(const std::string&)> on_line_;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::string pending_;
};

// Whether the descriptor is a terminal.
bool is_terminal(int fd);

}  // namespace quillon
