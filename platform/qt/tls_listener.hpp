#pragma once

#include <QHostAddress>
#include <QSslConfiguration>
#include <QTcpServer>
#include <QTimer>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "clients/doors.hpp"

class QSslSocket;

namespace quillon {

// A TLS server that runs its peers' handshakes itself. Each handshake has
// handshake_limit_ms; at most max_handshakes_per_address run at once for one
// address (more from it are closed at once); none of them counts against the
// listening socket's limit of pending connections, so silent peers can never
// keep another's handshake from starting. Only peers whose handshake is done
// are handed on, as pending connections.
class TlsListener : public QTcpServer {
  public:
    static constexpr std::int64_t handshake_limit_ms = 5000;
    static constexpr int max_handshakes_per_address = 16;
    // In all: past it the oldest handshake gives way to the newcomer. A
    // handshake that goes well takes milliseconds, so only silent peers are
    // ever the oldest; the descriptors they hold stay bounded however many
    // addresses they come from.
    static constexpr std::size_t max_handshakes = 512;

    struct Doorkeeping {
        // Whether the address is blocked: its connections are closed at once.
        std::function<bool(const QHostAddress&)> blocked;
        // A peer turned away: blocked, or no handshake in time.
        std::function<void(const QHostAddress&, quint16 port, RefusalReason)> refused;
        // The time each handshake has; a test run of the program shortens it.
        std::int64_t limit_ms = handshake_limit_ms;
    };

    TlsListener(QSslConfiguration configuration, Doorkeeping doorkeeping);
    ~TlsListener() override;

    std::size_t handshakes_running() const { return handshakes_.size(); }

  protected:
    void incomingConnection(qintptr descriptor) override;

  private:
    struct Handshake {
        std::unique_ptr<QSslSocket> socket;
        std::string address;  // its text form, for the count per address
        std::int64_t deadline_ms = 0;
    };
    // Stops tracking the handshake; its socket, or null when it was not one.
    std::unique_ptr<QSslSocket> end_handshake(QSslSocket* socket);
    void handshake_done(QSslSocket* socket);
    void handshake_failed(QSslSocket* socket);
    void expire();
    void arm_timer();

    QSslConfiguration configuration_;
    Doorkeeping doorkeeping_;
    std::map<QSslSocket*, Handshake> handshakes_;
    std::map<std::string, int> per_address_;
    QTimer timer_;
};

}  // namespace quillon
