#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "loopback.hpp"

struct ssl_st;
struct ssl_ctx_st;
struct bio_st;

namespace quillon::integration {

// A bus client speaking TLS on the loopback interface, as a home-automation
// server does with a `tls://` address: TLS 1.2 or later, and the gateway's
// certificate taken without verification, since it is self-signed.
// Received bytes, decrypted, are kept in order.
class TlsClient : public StreamClient {
  public:
    // Connects to 127.0.0.1:port, trying again while the port refuses, and
    // completes the handshake, all within patience. Null when either fails.
    static std::unique_ptr<TlsClient> connect_to(std::uint16_t port,
                                                 std::chrono::milliseconds patience);
    // The same offering TLS 1.2 alone, with these suites (OpenSSL's names).
    static std::unique_ptr<TlsClient> connect_tls12(std::uint16_t port,
                                                    std::chrono::milliseconds patience,
                                                    const std::string& suites);
    ~TlsClient() override;
    TlsClient(const TlsClient&) = delete;
    TlsClient& operator=(const TlsClient&) = delete;

    std::uint16_t local_port() const { return local_port_; }
    bool send(std::span<const std::uint8_t> bytes);

    // Says close_notify, as a well-behaved client does, and closes the socket.
    void close();

  private:
    // Connects with the context, which the client owns from here.
    static std::unique_ptr<TlsClient> connect_with(ssl_ctx_st* context, std::uint16_t port,
                                                   std::chrono::milliseconds patience);
    TlsClient(int fd, ssl_ctx_st* context);
    bool handshake(std::chrono::steady_clock::time_point deadline);
    // Sends what OpenSSL has put out so far.
    bool flush_out();
    // One wait of at most timeout_ms for bytes from the socket, handed to OpenSSL.
    void receive_once(int timeout_ms);
    // Takes out what OpenSSL can decrypt; true when something came or the session ended.
    bool decrypt();
    void read_once(int timeout_ms) override;

    int fd_ = -1;
    ssl_ctx_st* context_ = nullptr;
    ssl_st* ssl_ = nullptr;
    // Memory buffers between OpenSSL and the socket: this side does the
    // socket calls, so nothing raises SIGPIPE and every wait has a limit.
    bio_st* network_in_ = nullptr;
    bio_st* network_out_ = nullptr;
    std::uint16_t local_port_ = 0;
    bool socket_ended_ = false;
};

}  // namespace quillon::integration
