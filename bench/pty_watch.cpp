#include "bench/pty_watch.hpp"

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <utility>

#include "bench/clock.hpp"

namespace quillon::bench {

void PtyWatch::start(int master) {
    wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    stop_ = false;
    thread_ = std::thread([this, master] { run(master); });
}

void PtyWatch::stop() {
    if (thread_.joinable()) {
        stop_ = true;
        thread_.join();
    }
    if (wake_fd_ >= 0) ::close(wake_fd_);
    wake_fd_ = -1;
}

std::vector<PtyWatch::Chunk> PtyWatch::take() {
    std::uint64_t count = 0;
    [[maybe_unused]] const auto n = ::read(wake_fd_, &count, sizeof count);
    const std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(chunks_, {});
}

void PtyWatch::run(int master) {
    // Ahead of the bench's other work when the machine is busy, where
    // allowed: the times it takes are the figures.
    sched_param realtime{};
    realtime.sched_priority = 10;
    [[maybe_unused]] const int r = ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &realtime);
    while (!stop_) {
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0 || (p.revents & POLLIN) == 0) continue;
        std::uint8_t b[4096];
        const ssize_t n = ::read(master, b, sizeof b);
        if (n <= 0) continue;
        const std::int64_t t = now_ns();
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            chunks_.push_back({{b, b + n}, t});
        }
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto w = ::write(wake_fd_, &one, sizeof one);
    }
}

}  // namespace quillon::bench
