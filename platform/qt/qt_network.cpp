#include "platform/qt/qt_network.hpp"

#include <sys/socket.h>

#include <cerrno>

#include <QNetworkDatagram>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>

namespace quillon {
namespace {

// Largest datagram an analyzer may send; anything beyond is cut.
constexpr qint64 max_datagram_bytes = 2048;

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

QtNetwork::QtNetwork(EventWaiter& waiter, std::string listen_address) : waiter_(waiter) {
    listen_address_ = listen_address.empty() ? QHostAddress(QHostAddress::Any)
                                             : QHostAddress(QString::fromStdString(listen_address));
    waiter_.add_pending_check([this] { return has_pending(); });
}

QtNetwork::~QtNetwork() {
    while (!connections_.empty())
        release(connections_.begin()->first, false);
    for (auto& [server, s] : tcp_servers_) {
        (void)server;
        QObject::disconnect(s.get(), nullptr, nullptr, nullptr);
    }
    tcp_servers_.clear();
    if (udp_) QObject::disconnect(udp_.get(), nullptr, nullptr, nullptr);
}

bool QtNetwork::create_tcp_server(Server server, std::int64_t port, std::int32_t backlog) {
    if (port < 1 || port > 65535 || tcp_servers_.count(server) != 0) return false;
    auto s = std::make_unique<QTcpServer>();
    s->setListenBacklogSize(backlog);
    if (!s->listen(listen_address_, static_cast<quint16>(port))) return false;
    QObject::connect(s.get(), &QTcpServer::newConnection,
                     [this, server] { accept_connections(server); });
    tcp_servers_[server] = std::move(s);
    return true;
}

bool QtNetwork::create_udp_server(Server server, std::int64_t port) {
    if (port < 1 || port > 65535 || udp_ != nullptr) return false;
    auto u = std::make_unique<QUdpSocket>();
    if (!u->bind(listen_address_, static_cast<quint16>(port))) return false;
    QObject::connect(u.get(), &QUdpSocket::readyRead, [this] { read_datagrams(); });
    udp_ = std::move(u);
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
        QObject::disconnect(it->second.get(), nullptr, nullptr, nullptr);
        it->second->close();
        tcp_servers_.erase(it);
    }
    if (udp_ && server == udp_server_) {
        QObject::disconnect(udp_.get(), nullptr, nullptr, nullptr);
        udp_->close();
        udp_.reset();
    }
}

void QtNetwork::accept_connections(Server server) {
    auto it = tcp_servers_.find(server);
    if (it == tcp_servers_.end()) return;
    while (QTcpSocket* accepted = it->second->nextPendingConnection()) {
        // The server would delete its children with it; the connection owns its socket.
        accepted->setParent(nullptr);
        std::unique_ptr<QTcpSocket> socket(accepted);
        const ConnectionHandle h = next_handle_++;
        Connection c;
        c.server = server;
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
        c.socket = std::move(socket);
        connections_[h] = std::move(c);
        events_.push_back({NetworkEventCode::connection, server, h});
    }
    waiter_.wake();
}

void QtNetwork::read_datagrams() {
    while (udp_ && udp_->hasPendingDatagrams()) {
        const QNetworkDatagram d = udp_->receiveDatagram(max_datagram_bytes);
        if (!d.isValid()) break;
        ConnectionHandle h = 0;
        for (const auto& [handle, c] : connections_) {
            if (c.server == udp_server_ && c.port == d.senderPort() &&
                c.address == d.senderAddress()) {
                h = handle;
                break;
            }
        }
        if (h == 0) {
            h = next_handle_++;
            Connection c;
            c.server = udp_server_;
            c.address = d.senderAddress();
            c.port = static_cast<std::uint16_t>(d.senderPort());
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
        if (udp_) {
            udp_->writeDatagram(reinterpret_cast<const char*>(bytes), static_cast<qint64>(count),
                                c.address, c.port);
        }
        return 0;
    }
    if (c.gone) return 0;
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

std::size_t QtNetwork::pending_output_bytes(ConnectionHandle handle) {
    auto it = connections_.find(handle);
    if (it == connections_.end() || it->second.socket == nullptr) return 0;
    return static_cast<std::size_t>(it->second.socket->bytesToWrite());
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
    release(handle, false);
}

void QtNetwork::reset_connection(ConnectionHandle handle) {
    release(handle, true);
}

void QtNetwork::release(ConnectionHandle handle, bool reset) {
    auto it = connections_.find(handle);
    if (it == connections_.end()) return;
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
