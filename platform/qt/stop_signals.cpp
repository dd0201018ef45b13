#include "platform/qt/stop_signals.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <csignal>

namespace quillon {
namespace {

int signal_pipe[2] = {-1, -1};

extern "C" void on_stop_signal(int) {
    const char b = 1;
    [[maybe_unused]] const auto n = ::write(signal_pipe[1], &b, 1);
}

}  // namespace

StopSignals::StopSignals(std::function<void()> on_stop) : on_stop_(std::move(on_stop)) {
    // A client that vanishes must not take the gateway down with a write.
    std::signal(SIGPIPE, SIG_IGN);
    if (signal_pipe[0] < 0 && ::pipe2(signal_pipe, O_NONBLOCK | O_CLOEXEC) != 0) return;
    notifier_ = std::make_unique<QSocketNotifier>(signal_pipe[0], QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] {
        char drain[16];
        while (::read(signal_pipe[0], drain, sizeof drain) > 0) {
        }
        on_stop_();
    });
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
}

StopSignals::~StopSignals() {
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
}

}  // namespace quillon
