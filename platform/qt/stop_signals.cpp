#include "platform/qt/stop_signals.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <csignal>

namespace quillon {
namespace {

int signal_pipe[2] = {-1, -1};

constexpr char stop_byte = 1;
constexpr char reload_byte = 2;

extern "C" void on_stop_signal(int number) {
    const char b = number == SIGHUP ? reload_byte : stop_byte;
    [[maybe_unused]] const auto n = ::write(signal_pipe[1], &b, 1);
}

}  // namespace

StopSignals::StopSignals(std::function<void()> on_stop, std::function<void()> on_reload)
    : on_stop_(std::move(on_stop)), on_reload_(std::move(on_reload)) {
    // A client that vanishes must not take the gateway down with a write.
    std::signal(SIGPIPE, SIG_IGN);
    if (signal_pipe[0] < 0 && ::pipe2(signal_pipe, O_NONBLOCK | O_CLOEXEC) != 0) return;
    notifier_ = std::make_unique<QSocketNotifier>(signal_pipe[0], QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] {
        char drain[16];
        bool stop = false;
        bool reload = false;
        for (ssize_t n = 0; (n = ::read(signal_pipe[0], drain, sizeof drain)) > 0;) {
            for (ssize_t i = 0; i < n; ++i)
                (drain[i] == reload_byte ? reload : stop) = true;
        }
        if (reload && on_reload_) on_reload_();
        if (stop) on_stop_();
    });
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    if (on_reload_) ::sigaction(SIGHUP, &sa, nullptr);
}

StopSignals::~StopSignals() {
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    if (on_reload_) std::signal(SIGHUP, SIG_DFL);
}

}  // namespace quillon
