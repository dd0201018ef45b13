#include "platform/web/web_server.hpp"

#include <sys/socket.h>

#include <QFile>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaObject>
#include <QSslServer>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>
#include <algorithm>

#include "clients/admission.hpp"
#include "platform/qt/qt_network.hpp"

namespace quillon {
namespace {

// Set on a connection once it is a WebSocket.
constexpr const char* upgraded = "quillon_upgraded";

// No inline script or style, no framing, nothing from elsewhere.
const QByteArray content_security_policy =
    "default-src 'self'; connect-src 'self'; img-src 'self' data:; style-src 'self'; "
    "script-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'none'";

struct PageFile {
    const char* path;
    const char* resource;
    const char* type;
};
constexpr PageFile page_files[] = {
    {"/", ":/web/index.html", "text/html; charset=utf-8"},
    {"/index.html", ":/web/index.html", "text/html; charset=utf-8"},
    {"/monitor.js", ":/web/monitor.js", "text/javascript; charset=utf-8"},
    {"/monitor.css", ":/web/monitor.css", "text/css; charset=utf-8"},
};

bool same_key(const QByteArray& given, const std::string& key) {
    return quillon::same_key(
        std::string_view(given.constData(), static_cast<std::size_t>(given.size())), key);
}

}  // namespace

void WebServer::respond(const QHttpServerRequest& request, QTcpSocket* socket,
                        QHttpServerResponder::StatusCode status, const QByteArray& body,
                        const QByteArray& type, const Headers& more) {
    QHttpServerResponder r = makeResponder(request, socket);
    r.writeStatusLine(status);
    r.writeHeader("Content-Type", type);
    r.writeHeader("Content-Length", QByteArray::number(body.size()));
    r.writeHeader("Content-Security-Policy", content_security_policy);
    r.writeHeader("X-Frame-Options", "DENY");
    r.writeHeader("X-Content-Type-Options", "nosniff");
    r.writeHeader("Referrer-Policy", "no-referrer");
    r.writeHeader("Cache-Control", "no-store");
    for (const auto& [key, value] : more)
        r.writeHeader(key, value);
    r.writeBody(body);
}

void WebServer::respond_text(const QHttpServerRequest& request, QTcpSocket* socket,
                             QHttpServerResponder::StatusCode status, const char* text,
                             const Headers& more) {
    respond(request, socket, status, QByteArray(text) + "\n", "text/plain; charset=utf-8", more);
}

namespace {

// A TLS server that lets the web server watch each connection's bytes from
// the start, as the plain one does.
class WatchedSslServer : public QSslServer {
  public:
    explicit WatchedSslServer(std::function<void(QTcpSocket*)> watch) : watch_(std::move(watch)) {}

  protected:
    void incomingConnection(qintptr descriptor) override {
        QSslServer::incomingConnection(descriptor);
        for (QSslSocket* s : findChildren<QSslSocket*>(Qt::FindDirectChildrenOnly)) {
            if (s->socketDescriptor() == descriptor) watch_(s);
        }
    }

  private:
    std::function<void(QTcpSocket*)> watch_;
};

class WatchedTcpServer : public QTcpServer {
  public:
    explicit WatchedTcpServer(std::function<void(QTcpSocket*)> watch) : watch_(std::move(watch)) {}

  protected:
    void incomingConnection(qintptr descriptor) override {
        auto* s = new QTcpSocket(this);
        if (!s->setSocketDescriptor(descriptor)) {
            delete s;
            return;
        }
        watch_(s);
        addPendingConnection(s);
    }

  private:
    std::function<void(QTcpSocket*)> watch_;
};

}  // namespace

WebServer::WebServer(WebMonitorView& view, OperatorEventQueue& events, Options options)
    : view_(view), events_(events), options_(std::move(options)) {
    view_.set_sink(this);
    QObject::connect(this, &QAbstractHttpServer::newWebSocketConnection, this,
                     [this] { accept_browsers(); });
}

WebServer::~WebServer() {
    view_.set_sink(nullptr);
    for (Browser& b : browsers_) {
        QObject::disconnect(b.socket.get(), nullptr, nullptr, nullptr);
        b.socket->abort();
    }
    browsers_.clear();
}

bool WebServer::listen_on(const std::vector<std::string>& addresses, std::uint16_t port,
                          const std::optional<QSslConfiguration>& tls) {
    const auto watch = [this](QTcpSocket* s) { watch_request_bytes(s); };
    for (const QHostAddress& host : listen_hosts(addresses)) {
        std::unique_ptr<QTcpServer> l;
        if (tls) {
            auto secure = std::make_unique<WatchedSslServer>(watch);
            secure->setSslConfiguration(*tls);
            secure->setHandshakeTimeout(5000);
            l = std::move(secure);
        } else {
            l = std::make_unique<WatchedTcpServer>(watch);
        }
        if (host.isNull() || !l->listen(host, port)) return false;
        bind(l.get());
        listeners_.push_back(std::move(l));
    }
    return true;
}

void WebServer::watch_request_bytes(QTcpSocket* socket) {
    std::erase_if(connections_, [](const QPointer<QTcpSocket>& s) { return s.isNull(); });
    // Past so many connections that are not browsers yet, a newcomer is not heard.
    const auto pending = std::count_if(
        connections_.begin(), connections_.end(),
        [](const QPointer<QTcpSocket>& s) { return !s->property(upgraded).toBool(); });
    if (static_cast<std::size_t>(pending) >= max_http_connections) {
        socket->abort();
        return;
    }
    connections_.emplace_back(socket);
    // Counted from the first byte: a request that never ends costs at most
    // this. Once a WebSocket, the connection has the WebSocket's own limits.
    QObject::connect(socket, &QTcpSocket::readyRead, socket,
                     [socket, counted = qint64{0}]() mutable {
                         if (socket->property(upgraded).toBool()) return;
                         counted += socket->bytesAvailable();
                         if (counted > max_request_bytes) socket->abort();
                     });
    // A connection that says nothing for a while is let go, unless it is a
    // browser's live one by then.
    auto* idle = new QTimer(socket);
    idle->setSingleShot(true);
    idle->setInterval(static_cast<int>(http_idle_limit_ms));
    QObject::connect(idle, &QTimer::timeout, socket, [socket] {
        if (!socket->property(upgraded).toBool()) socket->abort();
    });
    QObject::connect(socket, &QTcpSocket::readyRead, idle, qOverload<>(&QTimer::start));
    idle->start();
}

std::string WebServer::key() const {
    return options_.key ? options_.key() : std::string();
}

QTcpSocket* WebServer::take_wire(const QWebSocket& ws) {
    std::erase_if(connections_, [](const QPointer<QTcpSocket>& s) { return s.isNull(); });
    for (const QPointer<QTcpSocket>& s : connections_) {
        if (s->peerPort() == ws.peerPort() && s->peerAddress() == ws.peerAddress()) {
            s->setProperty(upgraded, true);
            return s.data();
        }
    }
    return nullptr;
}

bool WebServer::bearer_ok(const QHttpServerRequest& request) const {
    if (key().empty()) return false;
    const QByteArray given = request.value("Authorization");
    return given.startsWith("Bearer ") && same_key(given.mid(7), key());
}

bool WebServer::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) {
    if (request.method() != QHttpServerRequest::Method::Get) {
        respond_text(request, socket, QHttpServerResponder::StatusCode::MethodNotAllowed,
                     "only GET here", {{"Allow", "GET"}});
        return true;
    }
    const QString path = request.url().path();
    // The WebSocket's upgrade: the server hands the connection over itself
    // when this says true, whatever was answered. Elsewhere there is no
    // WebSocket: "not found", not a page answered into a connection that the
    // handover then drops unsent.
    if (request.value("Upgrade").compare("websocket", Qt::CaseInsensitive) == 0)
        return path == QLatin1String("/live");
    for (const PageFile& f : page_files) {
        if (path != QLatin1String(f.path)) continue;
        QFile file(QString::fromLatin1(f.resource));
        if (!file.open(QIODevice::ReadOnly)) {
            respond_text(request, socket, QHttpServerResponder::StatusCode::NotFound, "not found");
            return true;
        }
        respond(request, socket, QHttpServerResponder::StatusCode::Ok, file.readAll(), f.type);
        return true;
    }
    const bool metrics = path == QLatin1String("/metrics");
    const bool save = path == QLatin1String("/save");
    if (!metrics && !save) return false;
    // The saved list is for those who may act; the figures are for anyone
    // when there is no key.
    if ((save || !key().empty()) && !bearer_ok(request)) {
        if (!key().empty() && !request.value("Authorization").isEmpty() && options_.refused)
            options_.refused(metrics ? Door::metrics : Door::save, socket->peerAddress(),
                             socket->peerPort());
        respond_text(request, socket, QHttpServerResponder::StatusCode::Unauthorized,
                     "the key is needed", {{"WWW-Authenticate", "Bearer"}});
        return true;
    }
    if (metrics) {
        respond(request, socket, QHttpServerResponder::StatusCode::Ok,
                QByteArray::fromStdString(options_.metrics ? options_.metrics() : std::string()),
                "text/plain; version=0.0.4; charset=utf-8");
    } else {
        const std::string name =
            options_.saved_list_name ? options_.saved_list_name() : "Quillon.log";
        respond(request, socket, QHttpServerResponder::StatusCode::Ok,
                QByteArray::fromStdString(options_.saved_list ? options_.saved_list() : ""),
                "text/plain; charset=windows-1252",
                {{"Content-Disposition",
                  "attachment; filename=\"" + QByteArray::fromStdString(name) + "\""}});
    }
    return true;
}

void WebServer::missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) {
    respond_text(request, socket, QHttpServerResponder::StatusCode::NotFound, "not found");
}

void WebServer::accept_browsers() {
    drop_gone();
    while (hasPendingWebSocketConnections()) {
        std::unique_ptr<QWebSocket> ws = nextPendingWebSocketConnection();
        if (!ws) break;
        // The connection under the WebSocket: the server's frames are the same
        // bytes for every browser, so they are framed once and written there.
        QTcpSocket* wire = take_wire(*ws);
        if (ws->requestUrl().path() != QLatin1String("/live") || browsers_.size() >= max_browsers ||
            wire == nullptr) {
            ws->abort();
            continue;
        }
        ws->setMaxAllowedIncomingMessageSize(4096);
        ws->setMaxAllowedIncomingFrameSize(4096);
        browsers_.push_back(Browser{.id = next_browser_id_++,
                                    .socket = std::move(ws),
                                    .wire = wire,
                                    .encrypted = qobject_cast<QSslSocket*>(wire) != nullptr});
        Browser& b = browsers_.back();
        QWebSocket* raw = b.socket.get();
        QObject::connect(raw, &QWebSocket::textMessageReceived, this,
                         [this, &b](const QString& text) { on_message(b, text); });
        // Browsers only speak text.
        QObject::connect(raw, &QWebSocket::binaryMessageReceived, this, [this, &b] {
            b.gone = true;
            b.socket->abort();
            QMetaObject::invokeMethod(
                this, [this] { drop_gone(); }, Qt::QueuedConnection);
        });
        QObject::connect(b.wire, &QTcpSocket::bytesWritten, this, [this, &b] {
            if (b.behind && b.wire->bytesToWrite() < max_browser_backlog_bytes / 16) {
                b.behind = false;
                send(b, view_.state_message(b.authorised));
            }
        });

        QObject::connect(raw, &QWebSocket::disconnected, this, [this, &b] {
            b.gone = true;
            QMetaObject::invokeMethod(
                this, [this] { drop_gone(); }, Qt::QueuedConnection);
        });
        const bool key_required = !key().empty();
        send(b, std::string("{\"type\":\"hello\",\"key_required\":") +
                    (key_required ? "true" : "false") + "}");
        if (!key_required) {
            b.admitted = true;
            send(b, view_.state_message(false));
        }
    }
}

void WebServer::on_message(Browser& b, const QString& text) {
    if (b.gone) return;
    const QJsonObject m = QJsonDocument::fromJson(text.toUtf8()).object();
    if (!b.admitted) {
        if (key().empty()) return;
        if (same_key(m.value("key").toString().toUtf8(), key())) {
            b.admitted = true;
            b.authorised = true;
            send(b, view_.state_message(true));
        } else {
            if (options_.refused)
                options_.refused(Door::websocket, b.socket->peerAddress(), b.socket->peerPort());
            send(b, R"({"type":"refused","reason":"wrong key"})");
            b.gone = true;
            b.socket->close();
            QMetaObject::invokeMethod(
                this, [this] { drop_gone(); }, Qt::QueuedConnection);
        }
        return;
    }
    if (!b.authorised) return;  // watching only
    const QString c = m.value("control").toString();
    // Each use names its browser: what the gateway has to say about it goes
    // back there, never to a box that halts the loop.
    const auto used = [&b](int control) {
        OperatorEvent e = OperatorEvent::used(control);
        e.requester = b.id;
        return e;
    };
    if (c == QLatin1String("clear")) {
        events_.post(used(control::clear));
    } else if (c == QLatin1String("save")) {
        events_.post(used(control::save));
    } else if (c == QLatin1String("disconnect_all")) {
        events_.post(used(control::disconnect_all));
    } else if (c == QLatin1String("disconnect")) {
        OperatorEvent e = used(control::disconnect);
        e.client = m.value("client").toInt(0);
        if (e.client != 0) events_.post(e);
    } else if (c == QLatin1String("delay") || c == QLatin1String("debug")) {
        OperatorEvent e =
            used(c == QLatin1String("delay") ? control::delay_check : control::debug_check);
        e.checked = m.value("checked").toBool();
        events_.post(e);
    }
}

void WebServer::send(Browser& b, const std::string& message) {
    write_frames(b, text_frame(message));
}

std::string WebServer::text_frame(const std::string& message) {
    // A server's frame: final, text, unmasked; the length in 7, 16 or 64 bits.
    std::string f;
    f.reserve(message.size() + 10);
    f += static_cast<char>(0x81);
    const std::uint64_t n = message.size();
    if (n < 126) {
        f += static_cast<char>(n);
    } else if (n < 65536) {
        f += static_cast<char>(126);
        f += static_cast<char>((n >> 8) & 0xFF);
        f += static_cast<char>(n & 0xFF);
    } else {
        f += static_cast<char>(127);
        for (int shift = 56; shift >= 0; shift -= 8)
            f += static_cast<char>((n >> shift) & 0xFF);
    }
    return f + message;
}

void WebServer::write_frames(Browser& b, const std::string& frames) {
    if (b.gone || b.behind) return;
    if (b.wire->bytesToWrite() > max_browser_backlog_bytes) {
        // It gets the whole state once it has taken what waits.
        b.behind = true;
        return;
    }
    // Straight to the kernel while nothing waits in the socket, as for the
    // bus clients: Qt's buffered write would arm and disarm the socket's
    // write notifier on every pass. Encrypted bytes go through the socket.
    std::size_t sent = 0;
    const qintptr fd = b.wire->socketDescriptor();
    if (!b.encrypted && fd >= 0 && b.wire->bytesToWrite() == 0) {
        const ssize_t n =
            ::send(static_cast<int>(fd), frames.data(), frames.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) sent = static_cast<std::size_t>(n);
    }
    if (sent < frames.size())
        b.wire->write(frames.data() + sent, static_cast<qint64>(frames.size() - sent));
}

void WebServer::send_to_browsers(const std::vector<std::string>& messages) {
    // Framed once, written once a browser: one write each for the whole pass.
    std::string frames;
    for (const std::string& m : messages)
        frames += text_frame(m);
    for (Browser& b : browsers_) {
        if (b.admitted) write_frames(b, frames);
    }
}

void WebServer::send_to_browser(std::int32_t browser, const std::string& message) {
    for (Browser& b : browsers_) {
        if (b.id == browser && b.admitted) send(b, message);
    }
}

void WebServer::drop_gone() {
    for (auto it = browsers_.begin(); it != browsers_.end();) {
        if (it->gone && it->socket->state() != QAbstractSocket::ClosingState) {
            QObject::disconnect(it->socket.get(), nullptr, this, nullptr);
            it = browsers_.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace quillon
