#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/connection_handle.hpp"
#include "clients/doors.hpp"

namespace quillon {

// The gateway's servers.
enum class Server : std::int32_t {
    port_test = 0,  // the first-configuration dialog's test of a TCP port
    tcp = 1,        // bus clients
    analyzer = 2,   // the UDP analyzer feed
    tls = 3,        // bus clients over TLS
};

// The PEM files a TLS server works with.
struct TlsFiles {
    std::string certificate;
    std::string private_key;
};

// Why a server could not listen: where, and the system's reason.
struct ListenFailure {
    std::string address;  // "0.0.0.0", "192.168.1.10", ...
    std::string reason;   // "Address already in use"
    bool in_use = false;  // another program listens there
    bool denied = false;  // the port needs privileges the program lacks
};

// How the start of a server went.
enum class ServerStart {
    ok,
    unavailable,  // the port is taken or cannot be had
    certificate_unreadable,
    key_unreadable,
    key_mismatch,  // the key is not the certificate's
};

enum class NetworkEventCode : std::int32_t {
    none = 0,
    connection = 1,     // only from a TCP server
    data = 2,           // bytes can be read (TCP), or a datagram arrived (UDP)
    disconnection = 4,  // only from a TCP server; the connection is already released
    refusal = 8,        // a peer turned away before it became a connection (see NetworkEvent)
};

struct NetworkEvent {
    NetworkEventCode code = NetworkEventCode::none;
    Server server = Server::port_test;
    ConnectionHandle connection = 0;
    // A refusal only: the door, why, and who. The peer is gone already; the
    // gateway counts it against the address.
    Door door = Door::tcp;
    RefusalReason reason = RefusalReason::wrong_key;
    std::string address{};
    std::uint16_t port = 0;
};

// The TCP server for bus clients and the UDP socket for analyzers.
class Network {
  public:
    virtual ~Network() = default;
    [[nodiscard]] virtual bool initialise() = 0;
    // The local addresses that the servers made from now on listen on; none:
    // all of them.
    virtual void listen_on(const std::vector<std::string>& addresses) = 0;
    // Listens on the local addresses. A port outside 1..65535 fails.
    [[nodiscard]] virtual bool create_tcp_server(Server server, std::int64_t port,
                                                 std::int32_t backlog) = 0;
    // The same with TLS 1.2 or 1.3; its connections are reported once their
    // handshake is done. A handshake that has not ended within 5 s is closed
    // and reported as a refusal ("no TLS handshake"); at most 16 handshakes
    // run at once for one address, more from it are closed at once. The
    // server's certificate is not checked by clients.
    virtual ServerStart create_tls_server(Server server, std::int64_t port, std::int32_t backlog,
                                          const TlsFiles& files) = 0;
    [[nodiscard]] virtual bool create_udp_server(Server server, std::int64_t port) = 0;
    // Why the last server that failed to start could not listen.
    virtual ListenFailure last_listen_failure() const = 0;
    // Closes the server and every connection it holds, without disconnection events.
    virtual void close_server(Server server) = 0;
    // One event per call. A data event is reported again while a connection still
    // has unread bytes, unless its reading is paused. UDP peers get a handle of
    // their own on their first datagram.
    virtual NetworkEvent poll() = 0;
    // Copies up to max waiting bytes (one datagram for a UDP peer); the count.
    virtual std::int64_t receive(ConnectionHandle connection, std::uint8_t* buffer,
                                 std::size_t max) = 0;
    // Queues all the bytes for the connection, never cutting them (one datagram
    // for a UDP peer); bytes the peer has not taken yet wait in the connection.
    // Returns how many bytes wait there now.
    virtual std::size_t send(ConnectionHandle connection, const std::uint8_t* bytes,
                             std::size_t count) = 0;
    // "a.b.c.d", or "0.0.0.0" when the address cannot be had.
    virtual std::string peer_address(ConnectionHandle connection) = 0;
    // 0 when the port cannot be had.
    virtual std::uint16_t peer_port(ConnectionHandle connection) = 0;
    // Closes and releases the connection (or forgets the UDP peer); no event
    // follows. A UDP peer with datagrams still to read is kept: each of them
    // is still reported and read, and the peer goes when it is closed with
    // none left.
    virtual void close_connection(ConnectionHandle connection) = 0;
    // Like close_connection, but with an immediate reset: whatever the peer has
    // not taken yet is dropped at once rather than kept for it.
    virtual void reset_connection(ConnectionHandle connection) = 0;
    // While paused, the connection's bytes stay unread and TCP flow control holds the sender.
    virtual void set_reading_paused(ConnectionHandle connection, bool paused) = 0;
    // While an address is blocked, its connections are closed as they come
    // (before any handshake) and its datagrams dropped, each reported as a
    // refusal event with the reason "blocked". Connections it has already
    // are left alone.
    virtual void set_blocked(const std::string& address, bool blocked) = 0;
    // Bytes queued for the connection that its peer has not taken yet.
    virtual std::size_t pending_output_bytes(ConnectionHandle) { return 0; }
};

}  // namespace quillon
