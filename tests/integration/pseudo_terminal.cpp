#include "pseudo_terminal.hpp"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace quillon::integration {

PseudoTerminal::PseudoTerminal() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0) return;
    termios raw{};
    const char* name = nullptr;
    if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
        (name = ::ptsname(master_)) == nullptr || ::tcgetattr(master_, &raw) != 0) {
        ::close(master_);
        master_ = -1;
        return;
    }
    slave_path_ = name;
    ::cfmakeraw(&raw);
    ::tcsetattr(master_, TCSANOW, &raw);
    reader_ = std::thread([this] { read_loop(); });
}

PseudoTerminal::~PseudoTerminal() {
    close();
}

void PseudoTerminal::close() {
    stopping_ = true;
    if (reader_.joinable()) reader_.join();
    if (master_ >= 0) ::close(master_);
    master_ = -1;
}

void PseudoTerminal::read_loop() {
    std::uint8_t chunk[4096];
    while (!stopping_) {
        pollfd p{master_, POLLIN, 0};
        const int ready = ::poll(&p, 1, 20);
        if (ready <= 0) continue;
        if ((p.revents & POLLIN) == 0) {
            // Nobody has the slave side open (yet, or any more).
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        const ssize_t n = ::read(master_, chunk, sizeof chunk);
        const Time now = std::chrono::steady_clock::now();
        if (n <= 0) {
            if (n < 0 && errno != EINTR && errno != EAGAIN)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        std::lock_guard lock(mutex_);
        bytes_.insert(bytes_.end(), chunk, chunk + n);
        byte_times_.insert(byte_times_.end(), static_cast<std::size_t>(n), now);
        changed_.notify_all();
    }
}

bool PseudoTerminal::write(std::span<const std::uint8_t> bytes) {
    while (!bytes.empty() && master_ >= 0) {
        const ssize_t n = ::write(master_, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    return bytes.empty();
}

Bytes PseudoTerminal::received() const {
    std::lock_guard lock(mutex_);
    return bytes_;
}

std::vector<PseudoTerminal::TimedFrame> PseudoTerminal::received_frames() const {
    std::lock_guard lock(mutex_);
    std::vector<TimedFrame> frames;
    for (FoundFrame& f : find_frames(bytes_))
        frames.push_back({std::move(f.bytes), byte_times_[f.last_index]});
    return frames;
}

bool PseudoTerminal::wait_frames(std::size_t count, std::chrono::milliseconds patience) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, patience, [&] { return find_frames(bytes_).size() >= count; });
}

}  // namespace quillon::integration
