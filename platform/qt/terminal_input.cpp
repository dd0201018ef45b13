#include "platform/qt/terminal_input.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>

namespace quillon {
namespace {

// A line this long is no command.
constexpr std::size_t max_line_bytes = 4096;

}  // namespace

bool is_terminal(int fd) {
    return ::isatty(fd) != 0;
}

TerminalInput::TerminalInput(int fd, std::function<void(const std::string&)> on_line)
    : fd_(fd), on_line_(std::move(on_line)) {
    saved_flags_ = ::fcntl(fd_, F_GETFL);
    if (saved_flags_ >= 0) ::fcntl(fd_, F_SETFL, saved_flags_ | O_NONBLOCK);
    notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { read_available(); });
}

TerminalInput::~TerminalInput() {
    notifier_.reset();
    if (saved_flags_ >= 0) ::fcntl(fd_, F_SETFL, saved_flags_);
}

void TerminalInput::read_available() {
    char chunk[512];
    for (;;) {
        const ssize_t n = ::read(fd_, chunk, sizeof chunk);
        if (n > 0) {
            pending_.append(chunk, static_cast<std::size_t>(n));
            continue;
        }
        if (n == 0) notifier_->setEnabled(false);  // end of input: the gateway keeps running
        break;
    }
    std::size_t end;
    while ((end = pending_.find('\n')) != std::string::npos) {
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        on_line_(line);
    }
    if (pending_.size() > max_line_bytes) pending_.clear();
}

std::optional<std::string> TerminalInput::wait_line() {
    for (;;) {
        const std::size_t end = pending_.find('\n');
        if (end != std::string::npos) {
            std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            return line;
        }
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, -1) < 0 && errno != EINTR) return std::nullopt;
        char chunk[256];
        const ssize_t n = ::read(fd_, chunk, sizeof chunk);
        if (n > 0) {
            pending_.append(chunk, static_cast<std::size_t>(n));
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            return std::nullopt;  // end of input: the questions are not answered
        }
    }
}

}  // namespace quillon
