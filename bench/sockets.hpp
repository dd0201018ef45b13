// Loopback sockets as the bench's clients use them.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

namespace quillon::bench {

// Writes all of it, waiting out a full non-blocking descriptor; false on an error.
bool write_all(int fd, const std::uint8_t* bytes, std::size_t count);

void set_nonblocking(int fd);

sockaddr_in loopback(std::uint16_t port);

// A TCP port free on 127.0.0.1 whose successor is free for UDP (the analyzer port).
std::uint16_t free_port();

// A listening socket as the kernel sees it (sock_diag): connections waiting
// to be accepted, and room for how many; -1 when it cannot be asked.
struct ListenQueue {
    int waiting = -1;
    int room = -1;
};

// `diag` is a NETLINK_SOCK_DIAG socket.
ListenQueue listen_queue(int diag, std::uint16_t port);

}  // namespace quillon::bench
