#pragma once

#include <QAbstractSocket>
#include <QHostAddress>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "clients/network.hpp"
#include "platform/qt/event_waiter.hpp"
#include "platform/qt/tls_listener.hpp"

class QTcpServer;
class QTcpSocket;
class QUdpSocket;

namespace quillon {

// The addresses to listen on: those given (a text that is no address stays
// null, and nothing listens on it), or every address when none is given.
std::vector<QHostAddress> listen_hosts(const std::vector<std::string>& addresses);

// Why a socket could not listen on the address, in the system's words.
ListenFailure listen_failure(const QHostAddress& address, QAbstractSocket::SocketError error,
                             const QString& qt_text);

// The TCP servers, plain and TLS, and the analyzer socket on QtNetwork, each
// listening on every address asked for. Qt's signals become the gateway's
// network events, handed out one per poll.
class QtNetwork : public Network {
  public:
    explicit QtNetwork(EventWaiter& waiter);
    ~QtNetwork() override;

    bool initialise() override { return true; }
    void listen_on(const std::vector<std::string>& addresses) override;
    bool create_tcp_server(Server server, std::int64_t port, std::int32_t backlog) override;
    ServerStart create_tls_server(Server server, std::int64_t port, std::int32_t backlog,
                                  const TlsFiles& files) override;
    bool create_udp_server(Server server, std::int64_t port) override;
    ListenFailure last_listen_failure() const override { return listen_failure_; }
    void close_server(Server server) override;
    NetworkEvent poll() override;
    std::int64_t receive(ConnectionHandle connection, std::uint8_t* buffer,
                         std::size_t max) override;
    std::size_t send(ConnectionHandle connection, const std::uint8_t* bytes,
                     std::size_t count) override;
    // Bytes queued for the connection that the peer has not taken yet.
    std::size_t pending_output_bytes(ConnectionHandle connection) override;
    std::string peer_address(ConnectionHandle connection) override;
    std::uint16_t peer_port(ConnectionHandle connection) override;
    void close_connection(ConnectionHandle connection) override;
    void reset_connection(ConnectionHandle connection) override;
    void set_reading_paused(ConnectionHandle connection, bool paused) override;
    void set_blocked(const std::string& address, bool blocked) override;

    // Whether a poll would report something now.
    bool has_pending() const;

    // For the other doors on this machine (the web monitor): whether an
    // address is blocked, and a refusal there, reported to the gateway as
    // this network's event.
    bool blocked(const QHostAddress& address) const;
    void report_refusal(Door door, RefusalReason reason, const QHostAddress& address,
                        std::uint16_t port);
    // The TLS server's handshake limit, for a test run of the program.
    void set_handshake_limit_ms(std::int64_t ms) { handshake_limit_ms_ = ms; }

  private:
    struct Connection {
        Server server = Server::port_test;
        std::unique_ptr<QTcpSocket> socket;  // TCP only
        bool tls = false;                    // what is written goes through the encryption
        QHostAddress address;
        std::uint16_t port = 0;
        bool paused = false;
        bool gone = false;                 // the peer closed or the connection failed
        std::deque<QByteArray> datagrams;  // UDP only
        QUdpSocket* via = nullptr;         // UDP only: the socket the peer reached
    };

    // Listens with a server made by `make` on every address; false (and no
    // server kept) when any of them fails.
    [[nodiscard]] bool listen_everywhere(Server server, std::int64_t port, std::int32_t backlog,
                                         const std::function<std::unique_ptr<QTcpServer>()>& make);
    void accept_connections(QTcpServer* listener, Server server);
    void read_datagrams(QUdpSocket* socket);
    void release(ConnectionHandle handle, bool reset);
    static std::size_t waiting_output(const Connection& c);

    EventWaiter& waiter_;
    std::vector<QHostAddress> listen_addresses_{QHostAddress(QHostAddress::Any)};
    // Owned here, not by Qt's parents: the gateway never runs Qt's own event
    // loop, so deleteLater() would never free them.
    std::map<Server, std::vector<std::unique_ptr<QTcpServer>>> tcp_servers_;
    std::vector<std::unique_ptr<QUdpSocket>> udp_;
    Server udp_server_ = Server::analyzer;
    std::unordered_map<ConnectionHandle, Connection> connections_;
    // The connections that may have something to report: bytes to read, or
    // their end. Only these are looked at in a poll.
    std::set<ConnectionHandle> attention_;
    std::deque<NetworkEvent> events_;
    ConnectionHandle next_handle_ = 1;
    std::size_t udp_peers_ = 0;
    ConnectionHandle last_served_ = 0;
    std::set<std::string> blocked_;  // address texts
    ListenFailure listen_failure_;
    std::int64_t handshake_limit_ms_ = TlsListener::handshake_limit_ms;
};

// "a.b.c.d" for an IPv4 (or IPv4-mapped) address; the usual text for IPv6;
// "0.0.0.0" when there is none.
std::string address_text(const QHostAddress& address);

}  // namespace quillon
