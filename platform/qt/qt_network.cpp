#include "platform/qt/qt_network.hpp"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include <QFile>
#include <QNetworkDatagram>
#include <QNetworkProxy>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>

#include "platform/openssl/tls_files.hpp"
#include "platform/qt/tls_configuration.hpp"
#include "platform/qt/tls_listener.hpp"

namespace quillon {
namespace {

// Largest datagram an analyzer may send; anything beyond is cut.
constexpr qint64 max_datagram_bytes = 2048;
// Datagram senders remembered at the most (the gateway keeps fewer analyzers
// still): a flood from ever new ports cannot grow the table without bound.
constexpr std::size_t max_udp_peers = 256;

}  // namespace

std::string address_text(const QHostAddress& address) {
    bool ok = false;
    const quint32 v4 = address.toIPv4Address(&ok);
    if (ok) {
        return std::to_string(v4 >> 24) + "." + std::to_string((v4 >> 16) & 0xFF) + "." +
               std::to_string((v4 >> 8) & 0xFF) + "." + std::to_string(v4 & 0xFF);
    }
    if (address.isNull()) return "0.0.0.0";
    return address.toString().toStdString();
}

QtNetwork::QtNetwork(EventWaiter& waiter) : waiter_(waiter) {
    waiter_.add_pending_check([this] { return has_pending(); });
}

QtNetwork::~QtNetwork() {
    while (!connections_.empty())
        release(connections_.begin()->first, false);
    for (auto& [server, listeners] : tcp_servers_) {
        (void)server;
        for (auto& l : listeners)
            QObject::disconnect(l.get(), nullptr, nullptr, nullptr);
    }
    tcp_servers_.clear();
    for (auto& u : udp_)
        QObject::disconnect(u.get(), nullptr, nullptr, nullptr);
}

std::vector<QHostAddress> listen_hosts(const std::vector<std::string>& addresses) {
    std::vector<QHostAddress> hosts;
    for (const std::string& a : addresses)
        hosts.emplace_back(QString::fromStdString(a));
    if (hosts.empty()) hosts.emplace_back(QHostAddress::Any);
    return hosts;
}

ListenFailure listen_failure(const QHostAddress& address, QAbstractSocket::SocketError error,
                             const QString& qt_text) {
    ListenFailure f;
    f.address = address.isNull() ? "an address that is none" : address_text(address);
    if (address == QHostAddress(QHostAddress::Any)) f.address = "0.0.0.0";
    switch (error) {
        case QAbstractSocket::AddressInUseError:
            f.in_use = true;
            f.reason = std::strerror(EADDRINUSE);
            break;
        case QAbstractSocket::SocketAccessError:
            f.denied = true;
            f.reason = std::strerror(EACCES);
            break;
        case QAbstractSocket::SocketAddressNotAvailableError:
            f.reason = std::strerror(EADDRNOTAVAIL);
            break;
        default:
            f.reason = qt_text.toStdString();
            break;
    }
    return f;
}

void QtNetwork::listen_on(const std::vector<std::string>& addresses) {
    listen_addresses_ = listen_hosts(addresses);
}

bool QtNetwork::listen_everywhere(Server server, std::int64_t port, std::int32_t backlog,
                                  const std::function<std::unique_ptr<QTcpServer>()>& make) {
    if (port < 1 || port > 65535 || tcp_servers_.count(server) != 0) return false;
    std::vector<std::unique_ptr<QTcpServer>> listeners;
    for (const QHostAddress& address : listen_addresses_) {
        std::unique_ptr<QTcpServer> l = make();
        // A server listens here: asking the system for a proxy would only
        // start libproxy's thread.
        l->setProxy(QNetworkProxy::NoProxy);
        l->setListenBacklogSize(backlog);
        if (address.isNull() || !l->listen(address, static_cast<quint16>(port))) {
            listen_failure_ = listen_failure(address, l->serverError(), l->errorString());
            return false;
        }
        QTcpServer* raw = l.get();
        QObject::connect(raw, &QTcpServer::pendingConnectionAvailable,
                         [this, raw, server] { accept_connections(raw, server); });
        listeners.push_back(std::move(l));
    }
    tcp_servers_[server] = std::move(listeners);
    return true;
}

bool QtNetwork::create_tcp_server(Server server, std::int64_t port, std::int32_t backlog) {
    return listen_everywhere(server, port, backlog, [] { return std::make_unique<QTcpServer>(); });
}

ServerStart QtNetwork::create_tls_server(Server server, std::int64_t port, std::int32_t backlog,
                                         const TlsFiles& files) {
    switch (check_tls_files(files.certificate, files.private_key)) {
        case TlsFilesProblem::none:
            break;
        case TlsFilesProblem::certificate_unreadable:
            return ServerStart::certificate_unreadable;
        case TlsFilesProblem::key_unreadable:
            return ServerStart::key_unreadable;
        case TlsFilesProblem::key_mismatch:
            return ServerStart::key_mismatch;
    }
    const std::optional<QSslConfiguration> config = tls_server_configuration(files);
    if (!config) return ServerStart::certificate_unreadable;
    const bool listening = listen_everywhere(server, port, backlog, [this, &config] {
        TlsListener::Doorkeeping doorkeeping;
        doorkeeping.blocked = [this](const QHostAddress& a) { return blocked(a); };
        doorkeeping.refused = [this](const QHostAddress& a, quint16 p, RefusalReason reason) {
            report_refusal(Door::tls, reason, a, p);
        };
        doorkeeping.limit_ms = handshake_limit_ms_;
        return std::unique_ptr<QTcpServer>(
            std::make_unique<TlsListener>(*config, std::move(doorkeeping)));
    });
    return listening ? ServerStart::ok : ServerStart::unavailable;
}

bool QtNetwork::create_udp_server(Server server, std::int64_t port) {
    if (port < 1 || port > 65535 || !udp_.empty()) return false;
    std::vector<std::unique_ptr<QUdpSocket>> sockets;
    for (const QHostAddress& address : listen_addresses_) {
        auto u = std::make_unique<QUdpSocket>();
        u->setProxy(QNetworkProxy::NoProxy);
        if (address.isNull() || !u->bind(address, static_cast<quint16>(port))) {
            listen_failure_ = listen_failure(address, u->error(), u->errorString());
            return false;
        }
        QUdpSocket* raw = u.get();
        QObject::connect(raw, &QUdpSocket::readyRead, [this, raw] { read_datagrams(raw); });
        sockets.push_back(std::move(u));
    }
    udp_ = std::move(sockets);
    udp_server_ = server;
    return true;
}

void QtNetwork::close_server(Server server) {
    std::vector<ConnectionHandle> held;
    for (const auto& [h, c] : connections_) {
        if (c.server == server) held.push_back(h);
    }
    for (ConnectionHandle h : held)
        release(h, false);
    std::erase_if(events_, [server](const NetworkEvent& e) { return e.server == server; });
    if (auto it = tcp_servers_.find(server); it != tcp_servers_.end()) {
        for (auto& l : it->second) {
            QObject::disconnect(l.get(), nullptr, nullptr, nullptr);
            l->close();
        }
        tcp_servers_.erase(it);
    }
    if (!udp_.empty() && server == udp_server_) {
        for (auto& u : udp_) {
            QObject::disconnect(u.get(), nullptr, nullptr, nullptr);
            u->close();
        }
        udp_.clear();
    }
}

void QtNetwork::accept_connections(QTcpServer* listener, Server server) {
    while (QTcpSocket* accepted = listener->nextPendingConnection()) {
        // The server would delete its children with it; the connection owns its socket.
        accepted->setParent(nullptr);
        QObject::disconnect(accepted, nullptr, listener, nullptr);
        std::unique_ptr<QTcpSocket> socket(accepted);
        if (blocked(socket->peerAddress())) {
            report_refusal(server == Server::tls ? Door::tls : Door::tcp, RefusalReason::blocked,
                           socket->peerAddress(), socket->peerPort());
            QObject::disconnect(accepted, nullptr, nullptr, nullptr);
            socket->abort();
            continue;
        }
        const ConnectionHandle h = next_handle_++;
        Connection c;
        c.server = server;
        c.tls = qobject_cast<QSslSocket*>(accepted) != nullptr;
        c.address = socket->peerAddress();
        c.port = socket->peerPort();
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        QObject::connect(accepted, &QTcpSocket::readyRead, [this, h] {
            attention_.insert(h);
            waiter_.wake();
        });
        const auto mark_gone = [this, h] {
            auto found = connections_.find(h);
            if (found != connections_.end() && !found->second.gone) {
                found->second.gone = true;
                attention_.insert(h);
                waiter_.wake();
            }
        };
        QObject::connect(accepted, &QTcpSocket::disconnected, mark_gone);
        QObject::connect(accepted, &QTcpSocket::errorOccurred, mark_gone);
        // Bytes that came with the handshake are read by the loop like any others.
        if (accepted->bytesAvailable() > 0 || accepted->state() != QAbstractSocket::ConnectedState)
            attention_.insert(h);
        if (accepted->state() != QAbstractSocket::ConnectedState) c.gone = true;
        c.socket = std::move(socket);
        connections_[h] = std::move(c);
        events_.push_back({NetworkEventCode::connection, server, h});
    }
    waiter_.wake();
}

void QtNetwork::read_datagrams(QUdpSocket* socket) {
    while (socket->hasPendingDatagrams()) {
        const QNetworkDatagram d = socket->receiveDatagram(max_datagram_bytes);
        if (!d.isValid()) break;
        if (blocked(d.senderAddress())) {
            report_refusal(Door::analyzer, RefusalReason::blocked, d.senderAddress(),
                           static_cast<std::uint16_t>(d.senderPort()));
            continue;
        }
        ConnectionHandle h = 0;
        for (const auto& [handle, c] : connections_) {
            if (c.server == udp_server_ && c.port == d.senderPort() &&
                c.address == d.senderAddress()) {
                h = handle;
                break;
            }
        }
        if (h == 0) {
            if (udp_peers_ >= max_udp_peers) continue;
            ++udp_peers_;
            h = next_handle_++;
            Connection c;
            c.server = udp_server_;
            c.address = d.senderAddress();
            c.port = static_cast<std::uint16_t>(d.senderPort());
            c.via = socket;
            connections_[h] = std::move(c);
        }
        connections_[h].datagrams.push_back(d.data());
        events_.push_back({NetworkEventCode::data, udp_server_, h});
    }
    waiter_.wake();
}

bool QtNetwork::has_pending() const {
    if (!events_.empty()) return true;
    for (const ConnectionHandle h : attention_) {
        const auto it = connections_.find(h);
        if (it == connections_.end()) continue;
        const Connection& c = it->second;
        if (c.socket == nullptr || c.paused) continue;
        if (c.socket->bytesAvailable() > 0 || c.gone) return true;
    }
    return false;
}

NetworkEvent QtNetwork::poll() {
    if (!events_.empty()) {
        const NetworkEvent e = events_.front();
        events_.pop_front();
        return e;
    }
    // Only the connections that said something are looked at: unread bytes
    // one connection after another, starting after the one served last, so
    // that a busy client cannot starve the rest; a connection that is gone is
    // reported once its last bytes have been read. A paused connection keeps
    // what its peer sent before leaving: it is looked at again when reading
    // resumes.
    auto it = attention_.upper_bound(last_served_);
    for (std::size_t seen = 0, n = attention_.size(); seen < n && !attention_.empty(); ++seen) {
        if (it == attention_.end()) it = attention_.begin();
        const ConnectionHandle h = *it;
        const auto found = connections_.find(h);
        if (found == connections_.end() || found->second.socket == nullptr ||
            found->second.paused) {
            it = attention_.erase(it);
            continue;
        }
        const Connection& c = found->second;
        if (c.socket->bytesAvailable() > 0) {
            last_served_ = h;
            return {NetworkEventCode::data, c.server, h};
        }
        if (c.gone) {
            const NetworkEvent e{NetworkEventCode::disconnection, c.server, h};
            release(h, false);
            return e;
        }
        it = attention_.erase(it);
    }
    return {};
}

std::int64_t QtNetwork::receive(ConnectionHandle handle, std::uint8_t* buffer, std::size_t max) {
    auto it = connections_.find(handle);
    if (it == connections_.end()) return 0;
    Connection& c = it->second;
    if (c.socket == nullptr) {
        if (c.datagrams.empty()) return 0;
        const QByteArray d = c.datagrams.front();
        c.datagrams.pop_front();
        const auto n = std::min(max, static_cast<std::size_t>(d.size()));
        std::copy(d.constData(), d.constData() + n, buffer);
        return static_cast<std::int64_t>(n);
    }
    const qint64 n = c.socket->read(reinterpret_cast<char*>(buffer), static_cast<qint64>(max));
    return n < 0 ? 0 : n;
}

std::size_t QtNetwork::send(ConnectionHandle handle, const std::uint8_t* bytes, std::size_t count) {
    auto it = connections_.find(handle);
    if (it == connections_.end() || count == 0) return 0;
    Connection& c = it->second;
    if (c.socket == nullptr) {
        if (c.via != nullptr) {
            c.via->writeDatagram(reinterpret_cast<const char*>(bytes), static_cast<qint64>(count),
                                 c.address, c.port);
        }
        return 0;
    }
    if (c.gone) return 0;
    if (c.tls) {
        // The bytes go through the encryption: only the socket can write them.
        c.socket->write(reinterpret_cast<const char*>(bytes), static_cast<qint64>(count));
        c.socket->flush();
        return waiting_output(c);
    }
    // Each frame in its own write, now. While the socket holds nothing back,
    // the frame goes straight to the kernel: Qt's buffered write would turn
    // the socket's write notifier on and off for every frame, which costs
    // more than the write. What the kernel cannot take waits in the socket,
    // and everything after it waits behind it.
    std::size_t sent = 0;
    const qintptr fd = c.socket->socketDescriptor();
    if (c.socket->bytesToWrite() == 0 && fd >= 0) {
        const ssize_t n = ::send(static_cast<int>(fd), bytes, count, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) sent = static_cast<std::size_t>(n);
        // A broken connection is seen by the socket's own reading.
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return 0;
    }
    if (sent < count) {
        c.socket->write(reinterpret_cast<const char*>(bytes + sent),
                        static_cast<qint64>(count - sent));
    }
    return static_cast<std::size_t>(c.socket->bytesToWrite());
}

std::size_t QtNetwork::waiting_output(const Connection& c) {
    if (c.socket == nullptr) return 0;
    qint64 waiting = c.socket->bytesToWrite();
    // Encrypted at once, what the peer does not take waits below the TLS layer.
    if (c.tls) waiting += static_cast<QSslSocket*>(c.socket.get())->encryptedBytesToWrite();
    return static_cast<std::size_t>(waiting);
}

std::size_t QtNetwork::pending_output_bytes(ConnectionHandle handle) {
    auto it = connections_.find(handle);
    return it == connections_.end() ? 0 : waiting_output(it->second);
}

std::string QtNetwork::peer_address(ConnectionHandle handle) {
    auto it = connections_.find(handle);
    return it == connections_.end() ? "0.0.0.0" : address_text(it->second.address);
}

std::uint16_t QtNetwork::peer_port(ConnectionHandle handle) {
    auto it = connections_.find(handle);
    return it == connections_.end() ? 0 : it->second.port;
}

void QtNetwork::close_connection(ConnectionHandle handle) {
    // A datagram peer with datagrams still to read stays until they are read
    // and judged one by one: forgetting it now would drop them uncounted.
    const auto it = connections_.find(handle);
    if (it != connections_.end() && it->second.socket == nullptr && !it->second.datagrams.empty())
        return;
    release(handle, false);
}

void QtNetwork::reset_connection(ConnectionHandle handle) {
    release(handle, true);
}

void QtNetwork::release(ConnectionHandle handle, bool reset) {
    auto it = connections_.find(handle);
    if (it == connections_.end()) return;
    if (it->second.socket == nullptr) --udp_peers_;
    if (QTcpSocket* s = it->second.socket.get()) {
        QObject::disconnect(s, nullptr, nullptr, nullptr);
        // A zero linger time makes the close a reset: the kernel drops what
        // the peer has not taken instead of holding it for minutes.
        if (reset && s->socketDescriptor() >= 0) {
            const linger no_linger{1, 0};
            ::setsockopt(static_cast<int>(s->socketDescriptor()), SOL_SOCKET, SO_LINGER, &no_linger,
                         sizeof no_linger);
        }
        s->abort();
    }
    connections_.erase(it);
    attention_.erase(handle);
    std::erase_if(events_, [handle](const NetworkEvent& e) { return e.connection == handle; });
}

void QtNetwork::set_blocked(const std::string& address, bool blocked) {
    if (blocked) {
        blocked_.insert(address);
    } else {
        blocked_.erase(address);
    }
}

bool QtNetwork::blocked(const QHostAddress& address) const {
    return !blocked_.empty() && blocked_.count(address_text(address)) != 0;
}

void QtNetwork::report_refusal(Door door, RefusalReason reason, const QHostAddress& address,
                               std::uint16_t port) {
    NetworkEvent e;
    e.code = NetworkEventCode::refusal;
    e.door = door;
    e.reason = reason;
    e.address = address_text(address);
    e.port = port;
    events_.push_back(std::move(e));
    waiter_.wake();
}

void QtNetwork::set_reading_paused(ConnectionHandle handle, bool paused) {
    auto it = connections_.find(handle);
    if (it == connections_.end() || it->second.socket == nullptr) return;
    it->second.paused = paused;
    // A bounded read buffer makes Qt stop reading, and TCP holds the sender back.
    it->second.socket->setReadBufferSize(paused ? 4096 : 0);
    // What waited meanwhile is looked at again.
    if (!paused) attention_.insert(handle);
}

}  // namespace quillon
