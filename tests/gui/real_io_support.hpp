#pragma once

// Real parts for tests: a pseudo-terminal as the serial port, loopback ports.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace quillon::testing {

// The master side of a new pseudo-terminal, raw and non-blocking; -1 on failure.
// Its slave path (ptsname) is what the gateway opens as its serial port.
inline int open_pseudo_terminal() {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0) return -1;
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        ::close(master);
        return -1;
    }
    termios t{};
    ::tcgetattr(master, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(master, TCSANOW, &t);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    return master;
}

inline sockaddr_in loopback_address(std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

// A TCP port on 127.0.0.1 that is free, with the UDP port above it free too; 0 when none is found.
inline std::uint16_t free_port_pair() {
    for (int attempt = 0; attempt < 50; ++attempt) {
        const int s = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = loopback_address(0);
        socklen_t len = sizeof a;
        ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
        ::close(s);
        const std::uint16_t port = ntohs(a.sin_port);
        if (port == 0 || port == 65535) continue;
        const int u = ::socket(AF_INET, SOCK_DGRAM, 0);
        a.sin_port = htons(static_cast<std::uint16_t>(port + 1));
        const bool udp_free = ::bind(u, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        ::close(u);
        if (udp_free) return port;
    }
    return 0;
}

// A blocking TCP connection to 127.0.0.1:port; -1 when refused.
inline int connect_loopback(std::uint16_t port) {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in a = loopback_address(port);
    if (::connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        ::close(s);
        return -1;
    }
    return s;
}

// What a part writes to a FILE* (the console's output or error), kept in memory.
class CapturedStream {
  public:
    CapturedStream() : file_(::open_memstream(&text_, &size_)) {}
    ~CapturedStream() {
        std::fclose(file_);
        std::free(text_);
    }
    CapturedStream(const CapturedStream&) = delete;
    CapturedStream& operator=(const CapturedStream&) = delete;

    std::FILE* file() const { return file_; }
    std::string text() {
        std::fflush(file_);
        return std::string(text_, size_);
    }

  private:
    char* text_ = nullptr;
    std::size_t size_ = 0;
    std::FILE* file_;
};

}  // namespace quillon::testing
