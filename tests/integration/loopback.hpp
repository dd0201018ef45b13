#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "velbus_frames.hpp"

namespace quillon::integration {

// A TCP port on 127.0.0.1 that is free, with the UDP port above it free too,
// picked by the system so that tests running side by side do not collide.
// 0 when none could be found.
std::uint16_t pick_free_port_pair();

// A socket bound to 127.0.0.1:port that keeps the port taken while it lives.
class PortHolder {
  public:
    enum class Kind { tcp_listener, udp };
    PortHolder(Kind kind, std::uint16_t port);
    ~PortHolder();
    PortHolder(const PortHolder&) = delete;
    PortHolder& operator=(const PortHolder&) = delete;
    bool holding() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

// Milliseconds left until the deadline, never below 0.
int remaining_ms(std::chrono::steady_clock::time_point deadline);

// A TCP connection to 127.0.0.1:port, tried again while the port refuses
// until the deadline; `prepare` sets options on the socket before it
// connects. -1 when none was made.
int connect_loopback(std::uint16_t port, std::chrono::steady_clock::time_point deadline,
                     const std::function<void(int)>& prepare = {});

// The local port a socket is bound to.
std::uint16_t bound_port(int fd);

// Binds a socket to another loopback address (127.0.0.2, ...) before it
// connects or sends: the gateway sees a peer of its own there.
bool bind_source(int fd, const std::string& address);

// A client that reads a byte stream, whatever carries it: what came is kept
// in order, and the waits end when enough came, the time is up or the far
// side closed.
class StreamClient {
  public:
    virtual ~StreamClient() = default;

    // Reads until at least `count` bytes have come in all, or patience runs out.
    bool wait_bytes(std::size_t count, std::chrono::milliseconds patience);
    // Reads whatever comes for the given time; with none, what has come.
    void read_for(std::chrono::milliseconds span);
    // Reads until the far side closes the connection (end of stream or reset;
    // over TLS also close_notify or a broken record).
    bool wait_closed(std::chrono::milliseconds patience);
    bool closed_by_peer() const { return peer_closed_; }
    const Bytes& received() const { return received_; }

  protected:
    // One wait of at most timeout_ms for bytes, and what it brought.
    virtual void read_once(int timeout_ms) = 0;

    Bytes received_;
    bool peer_closed_ = false;
};

// A bus client on the loopback interface. Received bytes are kept in order.
class TcpClient : public StreamClient {
  public:
    // Connects to 127.0.0.1:port, trying again while the port refuses until
    // patience runs out. Null when no connection was made.
    static std::unique_ptr<TcpClient> connect_to(std::uint16_t port,
                                                 std::chrono::milliseconds patience);
    ~TcpClient() override;
    TcpClient(const TcpClient&) = delete;
    TcpClient& operator=(const TcpClient&) = delete;

    std::uint16_t local_port() const { return local_port_; }
    bool send(std::span<const std::uint8_t> bytes);
    void close();

  private:
    explicit TcpClient(int fd);
    void read_once(int timeout_ms) override;

    int fd_ = -1;
    std::uint16_t local_port_ = 0;
};

// An analyzer on the loopback interface: sends datagrams, receives text lines.
class UdpClient {
  public:
    explicit UdpClient(const std::string& source_address = "127.0.0.1");
    ~UdpClient();
    UdpClient(const UdpClient&) = delete;
    UdpClient& operator=(const UdpClient&) = delete;

    std::uint16_t local_port() const { return local_port_; }
    bool send_to(std::uint16_t port, const std::string& text);
    // The next datagram, or nothing when none comes in time.
    std::optional<std::string> receive(std::chrono::milliseconds patience);

  private:
    int fd_ = -1;
    std::uint16_t local_port_ = 0;
};

}  // namespace quillon::integration
