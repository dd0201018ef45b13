#include "platform/qt/tls_listener.hpp"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QSslSocket>
#include <algorithm>
#include <limits>

#include "platform/qt/qt_network.hpp"

namespace quillon {
namespace {

std::int64_t monotonic_ms() {
    return QDeadlineTimer::current().deadline();
}

// The peer of an accepted descriptor, before any socket object is made for it.
QHostAddress peer_of(qintptr descriptor, quint16& port) {
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    if (::getpeername(static_cast<int>(descriptor), reinterpret_cast<sockaddr*>(&storage),
                      &length) != 0) {
        port = 0;
        return {};
    }
    const QHostAddress address(reinterpret_cast<const sockaddr*>(&storage));
    port = storage.ss_family == AF_INET6
               ? ntohs(reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_port)
               : ntohs(reinterpret_cast<const sockaddr_in*>(&storage)->sin_port);
    return address;
}

}  // namespace

TlsListener::TlsListener(QSslConfiguration configuration, Doorkeeping doorkeeping)
    : configuration_(std::move(configuration)), doorkeeping_(std::move(doorkeeping)) {
    timer_.setSingleShot(true);
    QObject::connect(&timer_, &QTimer::timeout, this, [this] { expire(); });
}

TlsListener::~TlsListener() {
    timer_.stop();
    for (auto& [raw, h] : handshakes_) {
        QObject::disconnect(raw, nullptr, nullptr, nullptr);
        h.socket->abort();
    }
    handshakes_.clear();
}

void TlsListener::incomingConnection(qintptr descriptor) {
    quint16 port = 0;
    const QHostAddress peer = peer_of(descriptor, port);
    const std::string address = address_text(peer);
    if (doorkeeping_.blocked && doorkeeping_.blocked(peer)) {
        ::close(static_cast<int>(descriptor));
        if (doorkeeping_.refused) doorkeeping_.refused(peer, port, RefusalReason::blocked);
        return;
    }
    if (per_address_[address] >= max_handshakes_per_address) {
        ::close(static_cast<int>(descriptor));
        return;
    }
    if (handshakes_.size() >= max_handshakes) {
        const auto oldest = std::min_element(handshakes_.begin(), handshakes_.end(),
                                             [](const auto& a, const auto& b) {
                                                 return a.second.deadline_ms < b.second.deadline_ms;
                                             });
        handshake_failed(oldest->first);
    }
    auto socket = std::make_unique<QSslSocket>();
    socket->setSslConfiguration(configuration_);
    if (!socket->setSocketDescriptor(descriptor)) {
        ::close(static_cast<int>(descriptor));
        if (per_address_[address] == 0) per_address_.erase(address);
        return;
    }
    QSslSocket* raw = socket.get();
    QObject::connect(raw, &QSslSocket::encrypted, this, [this, raw] { handshake_done(raw); });
    QObject::connect(raw, &QAbstractSocket::errorOccurred, this,
                     [this, raw] { handshake_failed(raw); });
    QObject::connect(raw, &QAbstractSocket::disconnected, this,
                     [this, raw] { handshake_failed(raw); });
    ++per_address_[address];
    handshakes_[raw] = {std::move(socket), address, monotonic_ms() + doorkeeping_.limit_ms};
    raw->startServerEncryption();
    arm_timer();
}

std::unique_ptr<QSslSocket> TlsListener::end_handshake(QSslSocket* socket) {
    const auto it = handshakes_.find(socket);
    if (it == handshakes_.end()) return nullptr;
    if (--per_address_[it->second.address] <= 0) per_address_.erase(it->second.address);
    QObject::disconnect(socket, nullptr, this, nullptr);
    std::unique_ptr<QSslSocket> ended = std::move(it->second.socket);
    handshakes_.erase(it);
    arm_timer();
    return ended;
}

void TlsListener::handshake_done(QSslSocket* socket) {
    std::unique_ptr<QSslSocket> done = end_handshake(socket);
    if (!done) return;
    // From here on the connection belongs to whoever takes it.
    QSslSocket* taken = done.release();
    taken->setParent(this);
    addPendingConnection(taken);
}

void TlsListener::handshake_failed(QSslSocket* socket) {
    std::unique_ptr<QSslSocket> failed = end_handshake(socket);
    if (!failed) return;
    failed->abort();
    // Freed outside its own signals: the wait delivers deferred deletes.
    failed.release()->deleteLater();
}

void TlsListener::expire() {
    const std::int64_t now = monotonic_ms();
    std::vector<QSslSocket*> late;
    for (const auto& [raw, h] : handshakes_) {
        if (h.deadline_ms <= now) late.push_back(raw);
    }
    for (QSslSocket* raw : late) {
        const QHostAddress peer = raw->peerAddress();
        const quint16 port = raw->peerPort();
        handshake_failed(raw);
        if (doorkeeping_.refused) doorkeeping_.refused(peer, port, RefusalReason::no_tls_handshake);
    }
    arm_timer();
}

void TlsListener::arm_timer() {
    if (handshakes_.empty()) {
        timer_.stop();
        return;
    }
    std::int64_t first = std::numeric_limits<std::int64_t>::max();
    for (const auto& [raw, h] : handshakes_)
        first = std::min(first, h.deadline_ms);
    const std::int64_t wait = std::max<std::int64_t>(0, first - monotonic_ms()) + 1;
    timer_.start(static_cast<int>(std::min<std::int64_t>(wait, doorkeeping_.limit_ms + 1)));
}

}  // namespace quillon
