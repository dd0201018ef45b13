#include "loopback.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

namespace quillon::integration {
namespace {

using SteadyClock = std::chrono::steady_clock;

sockaddr_in loopback_address(std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

bool bind_loopback(int fd, std::uint16_t port) {
    const sockaddr_in a = loopback_address(port);
    return ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
}

}  // namespace

int remaining_ms(SteadyClock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
    return static_cast<int>(std::max<std::int64_t>(left.count(), 0));
}

bool bind_source(int fd, const std::string& address) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    return ::inet_pton(AF_INET, address.c_str(), &a.sin_addr) == 1 &&
           ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
}

std::uint16_t bound_port(int fd) {
    sockaddr_in a{};
    socklen_t size = sizeof a;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size) != 0) return 0;
    return ntohs(a.sin_port);
}

int connect_loopback(std::uint16_t port, SteadyClock::time_point deadline,
                     const std::function<void(int)>& prepare) {
    for (;;) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return -1;
        if (prepare) prepare(fd);
        const sockaddr_in a = loopback_address(port);
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0) return fd;
        ::close(fd);
        if (SteadyClock::now() >= deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

bool StreamClient::wait_bytes(std::size_t count, std::chrono::milliseconds patience) {
    const auto deadline = SteadyClock::now() + patience;
    while (received_.size() < count && !peer_closed_) {
        const int left = remaining_ms(deadline);
        if (left == 0) break;
        read_once(left);
    }
    return received_.size() >= count;
}

void StreamClient::read_for(std::chrono::milliseconds span) {
    const auto deadline = SteadyClock::now() + span;
    do {
        read_once(remaining_ms(deadline));
    } while (remaining_ms(deadline) > 0);
}

bool StreamClient::wait_closed(std::chrono::milliseconds patience) {
    const auto deadline = SteadyClock::now() + patience;
    while (!peer_closed_) {
        const int left = remaining_ms(deadline);
        if (left == 0) break;
        read_once(left);
    }
    return peer_closed_;
}

std::uint16_t pick_free_port_pair() {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int tcp = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int udp = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        std::uint16_t port = 0;
        if (tcp >= 0 && udp >= 0 && bind_loopback(tcp, 0)) {
            port = bound_port(tcp);
            if (port == 0 || port == 65535 ||
                !bind_loopback(udp, static_cast<std::uint16_t>(port + 1)))
                port = 0;
        }
        if (tcp >= 0) ::close(tcp);
        if (udp >= 0) ::close(udp);
        if (port != 0) return port;
    }
    return 0;
}

PortHolder::PortHolder(Kind kind, std::uint16_t port) {
    fd_ = ::socket(AF_INET, (kind == Kind::udp ? SOCK_DGRAM : SOCK_STREAM) | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return;
    if (!bind_loopback(fd_, port) || (kind == Kind::tcp_listener && ::listen(fd_, 4) != 0)) {
        ::close(fd_);
        fd_ = -1;
    }
}

PortHolder::~PortHolder() {
    if (fd_ >= 0) ::close(fd_);
}

std::unique_ptr<TcpClient> TcpClient::connect_to(std::uint16_t port,
                                                 std::chrono::milliseconds patience) {
    const int fd = connect_loopback(port, SteadyClock::now() + patience);
    return fd < 0 ? nullptr : std::unique_ptr<TcpClient>(new TcpClient(fd));
}

TcpClient::TcpClient(int fd) : fd_(fd), local_port_(bound_port(fd)) {}

TcpClient::~TcpClient() {
    close();
}

void TcpClient::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool TcpClient::send(std::span<const std::uint8_t> bytes) {
    while (!bytes.empty() && fd_ >= 0) {
        const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    return bytes.empty();
}

void TcpClient::read_once(int timeout_ms) {
    if (fd_ < 0 || peer_closed_) {
        std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
        return;
    }
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) <= 0) return;
    std::uint8_t chunk[4096];
    const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n > 0) {
        received_.insert(received_.end(), chunk, chunk + n);
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        peer_closed_ = true;
    }
}

UdpClient::UdpClient(const std::string& source_address) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ >= 0 && bind_source(fd_, source_address)) local_port_ = bound_port(fd_);
}

UdpClient::~UdpClient() {
    if (fd_ >= 0) ::close(fd_);
}

bool UdpClient::send_to(std::uint16_t port, const std::string& text) {
    const sockaddr_in a = loopback_address(port);
    return ::sendto(fd_, text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(&a),
                    sizeof a) == static_cast<ssize_t>(text.size());
}

std::optional<std::string> UdpClient::receive(std::chrono::milliseconds patience) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(patience.count())) <= 0) return std::nullopt;
    char datagram[65536];
    const ssize_t n = ::recv(fd_, datagram, sizeof datagram, 0);
    if (n < 0) return std::nullopt;
    return std::string(datagram, static_cast<std::size_t>(n));
}

}  // namespace quillon::integration
