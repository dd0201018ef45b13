#include "platform/web/web_server.hpp"

#include <sys/socket.h>

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaObject>
#include <QNetworkProxy>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <algorithm>
#include <limits>

#include "clients/admission.hpp"
#include "platform/qt/qt_network.hpp"
#include "platform/qt/tls_listener.hpp"
#include "ui/control_words.hpp"

namespace quillon {
namespace {

// Connections the kernel may hold before the gateway takes them: a burst
// from one address must not fill the queue and make another's wait for a
// retransmission (a second).
constexpr int listen_backlog = 1024;
// What Qt reads ahead for a connection; past it, TCP holds the peer back.
constexpr qint64 read_ahead_bytes = 64 * 1024;

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

const char* reason_phrase(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 408:
            return "Request Timeout";
        case 429:
            return "Too Many Requests";
        case 431:
            return "Request Header Fields Too Large";
        case 503:
            return "Service Unavailable";
        case 505:
            return "HTTP Version Not Supported";
        default:
            return "Error";
    }
}

const char* bad_head_text(int status) {
    switch (status) {
        case 431:
            return "the request head is too long";
        case 505:
            return "only HTTP/1.0 and HTTP/1.1 here";
        default:
            return "not a request this server understands";
    }
}

std::int64_t monotonic_ms() {
    return QDeadlineTimer::current().deadline();
}

// The door a request knocks on, for what is counted against its address.
Door door_of(std::string_view path) {
    if (path == "/live") return Door::websocket;
    if (path == "/metrics") return Door::metrics;
    if (path == "/save") return Door::save;
    return Door::web;
}

bool bearer_ok(const std::string* authorization, const std::string& key) {
    if (key.empty() || authorization == nullptr || authorization->size() < 7) return false;
    const std::string scheme =
        QByteArray::fromStdString(authorization->substr(0, 7)).toLower().toStdString();
    return scheme == "bearer " && same_key(std::string_view(*authorization).substr(7), key);
}

}  // namespace

WebServer::WebServer(WebMonitorView& view, OperatorEventQueue& events, Options options)
    : view_(view), events_(events), options_(std::move(options)) {
    view_.set_sink(this);
    timer_.setSingleShot(true);
    // A coarse timer may be late by a twentieth of its span: half a second on a key's 10 s.
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout, this, [this] { expire(); });
}

WebServer::~WebServer() {
    view_.set_sink(nullptr);
    timer_.stop();
    for (auto& l : listeners_) {
        QObject::disconnect(l.get(), nullptr, nullptr, nullptr);
        l->close();
    }
    for (auto& [id, c] : connections_) {
        if (!c->socket) continue;
        QObject::disconnect(c->socket.get(), nullptr, nullptr, nullptr);
        c->socket->abort();
    }
    connections_.clear();
}

bool WebServer::listen_on(const std::vector<std::string>& addresses, std::uint16_t port,
                          const std::optional<QSslConfiguration>& tls) {
    for (const QHostAddress& host : listen_hosts(addresses)) {
        std::unique_ptr<QTcpServer> l;
        if (tls) {
            // Handshakes run beside the server, with their own deadline and cap per address.
            TlsListener::Doorkeeping doorkeeping;
            doorkeeping.blocked = [this](const QHostAddress& a) {
                return options_.blocked && options_.blocked(a);
            };
            doorkeeping.refused = [this](const QHostAddress& a, quint16 p, RefusalReason reason) {
                if (options_.refused) options_.refused(Door::web, reason, a, p);
            };
            doorkeeping.limit_ms = options_.tls_handshake_ms;
            l = std::make_unique<TlsListener>(*tls, std::move(doorkeeping));
        } else {
            l = std::make_unique<QTcpServer>();
        }
        l->setProxy(QNetworkProxy::NoProxy);
        l->setListenBacklogSize(listen_backlog);
        if (host.isNull() || !l->listen(host, port)) return false;
        QTcpServer* raw = l.get();
        QObject::connect(raw, &QTcpServer::pendingConnectionAvailable, this,
                         [this, raw] { accept_from(raw); });
        listeners_.push_back(std::move(l));
    }
    return true;
}

bool WebServer::blocked(const Connection& c) const {
    return options_.blocked && options_.blocked(c.peer);
}

void WebServer::refuse(const Connection& c, Door door, RefusalReason reason) {
    if (options_.refused) options_.refused(door, reason, c.peer, c.port);
}

WebServer::Connection* WebServer::find(Id id) {
    const auto it = connections_.find(id);
    return it == connections_.end() || it->second->gone ? nullptr : it->second.get();
}

void WebServer::accept_from(QTcpServer* listener) {
    while (QTcpSocket* accepted = listener->nextPendingConnection()) {
        accepted->setParent(nullptr);
        QObject::disconnect(accepted, nullptr, listener, nullptr);
        auto c = std::make_unique<Connection>();
        c->socket.reset(accepted);
        c->peer = accepted->peerAddress();
        c->port = accepted->peerPort();
        c->address = address_text(c->peer);
        c->encrypted = qobject_cast<QSslSocket*>(accepted) != nullptr;
        const std::int64_t now = monotonic_ms();
        const Id id = next_id_++;
        c->id = id;
        if (blocked(*c)) {
            refuse(*c, Door::web, RefusalReason::blocked);
            accepted->abort();
            c->socket.release()->deleteLater();
            continue;
        }
        const Places::Taken taken = admission_.connection_opens(id, c->address, now);
        if (!taken.ok) {
            accepted->abort();
            c->socket.release()->deleteLater();
            continue;
        }
        if (taken.evicted) {
            if (Connection* older = find(*taken.evicted)) drop(*older);
        }
        accepted->setReadBufferSize(read_ahead_bytes);
        QObject::connect(accepted, &QTcpSocket::readyRead, this, [this, id] { on_readable(id); });
        QObject::connect(accepted, &QTcpSocket::bytesWritten, this, [this, id] { on_written(id); });
        if (c->encrypted) {
            QObject::connect(static_cast<QSslSocket*>(accepted), &QSslSocket::encryptedBytesWritten,
                             this, [this, id] { on_written(id); });
        }
        const auto gone = [this, id] {
            if (Connection* found = find(id)) drop(*found);
        };
        QObject::connect(accepted, &QTcpSocket::disconnected, this, gone);
        QObject::connect(accepted, &QTcpSocket::errorOccurred, this, gone);
        c->idle_deadline_ms = now + options_.http_idle_ms;
        Connection& kept = *connections_.emplace(id, std::move(c)).first->second;
        due(kept.idle_deadline_ms);
        // Bytes that came with a TLS handshake are there already.
        if (accepted->state() != QAbstractSocket::ConnectedState) {
            drop(kept);
        } else if (accepted->bytesAvailable() > 0) {
            on_readable(id);
        }
    }
}

void WebServer::on_readable(Id id) {
    Connection* c = find(id);
    if (c == nullptr) return;
    switch (c->stage) {
        case Stage::request:
            if (!c->answering && c->asked == 0) read_requests(*c);
            break;
        case Stage::websocket:
            read_websocket(*c);
            break;
        case Stage::closing:
            c->socket->readAll();
            break;
    }
}

void WebServer::on_written(Id id) {
    Connection* c = find(id);
    if (c == nullptr) return;
    const std::int64_t now = monotonic_ms();
    switch (c->stage) {
        case Stage::request:
            if (!c->answering) return;
            c->idle_deadline_ms = now + options_.http_idle_ms;
            if (waiting(*c) > 0) return;
            // Taken: the next request may be read.
            c->answering = false;
            due(c->idle_deadline_ms);
            read_requests(*c);
            return;
        case Stage::websocket:
            if (c->behind && waiting(*c) < options_.caught_up_bytes) {
                c->behind = false;
                send_frame(*c, text_frame(view_.state_message(c->authorised)));
            }
            return;
        case Stage::closing:
            shut_when_sent(*c);
            return;
    }
}

// ---- HTTP ----

void WebServer::read_requests(Connection& c) {
    std::string bytes;
    for (;;) {
        bytes.resize(c.requests.room());
        const qint64 n =
            bytes.empty() ? 0 : c.socket->read(bytes.data(), static_cast<qint64>(bytes.size()));
        bytes.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        const std::int64_t now = monotonic_ms();
        // The head's time runs from its first byte, whatever comes after.
        if (!bytes.empty() && c.head_deadline_ms == 0) {
            c.head_deadline_ms = now + options_.request_head_ms;
            due(c.head_deadline_ms);
        }
        HeadRead read = c.requests.add(bytes);
        if (read.status == HeadRead::Status::bad) {
            answer_text(c, read.http_status, bad_head_text(read.http_status), true);
            return;
        }
        if (read.status == HeadRead::Status::incomplete) {
            if (bytes.empty() || c.socket->bytesAvailable() == 0) return;
            continue;
        }
        // A request that follows at once has its own time from now.
        c.head_deadline_ms = c.requests.empty() ? 0 : now + options_.request_head_ms;
        c.idle_deadline_ms = now + options_.http_idle_ms;
        due(c.head_deadline_ms != 0 ? c.head_deadline_ms : c.idle_deadline_ms);
        handle_request(c, read.head);
        if (c.gone || c.stage != Stage::request || c.answering || c.asked != 0) return;
    }
}

void WebServer::handle_request(Connection& c, const RequestHead& head) {
    const std::string_view path = head.path();
    if (blocked(c)) {
        refuse(c, door_of(path), RefusalReason::blocked);
        drop(c);
        return;
    }
    // A body is never read: the answer ends the connection.
    const bool close = head.has_body || !head.keep_alive();
    if (head.method != "GET") {
        answer_text(c, 405, "only GET here", true, {{"Allow", "GET"}});
        return;
    }
    // The WebSocket is at "/live" alone, and "/live" is nothing else.
    if (asks_for_websocket(head)) {
        if (path == "/live") {
            upgrade(c, head);
        } else {
            answer_text(c, 404, "not found", true);
        }
        return;
    }
    for (const PageFile& f : page_files) {
        if (path != f.path) continue;
        QFile file(QString::fromLatin1(f.resource));
        if (!file.open(QIODevice::ReadOnly)) break;
        answer(c, 200, file.readAll(), f.type, {}, close);
        return;
    }
    if (path == "/metrics" || path == "/save") {
        serve_figures(c, head, path == "/save", close);
        return;
    }
    if (path == "/healthz") {
        // No key: a checker needs none, and the answer holds nothing of the traffic.
        ask(c, Asked::health, close);
        return;
    }
    answer_text(c, 404, "not found", close);
}

void WebServer::serve_figures(Connection& c, const RequestHead& head, bool save, bool close) {
    // The saved list is for those who may act; the figures are for anyone
    // when there is no key.
    const std::string k = key();
    const std::string* authorization = head.field("authorization");
    if ((save || !k.empty()) && !bearer_ok(authorization, k)) {
        const bool guess = !k.empty() && authorization != nullptr;
        if (guess) refuse(c, save ? Door::save : Door::metrics, RefusalReason::wrong_key);
        answer_text(c, 401, "the key is needed", close || guess, {{"WWW-Authenticate", "Bearer"}});
        return;
    }
    ask(c, save ? Asked::saved_list : Asked::figures, close);
}

void WebServer::ask(Connection& c, Asked what, bool close) {
    c.asked = next_request_++;
    c.what = what;
    c.close_after = close;
    OperatorEvent e;
    e.kind = OperatorEventKind::request;
    e.requester = c.asked;
    e.asked = what;
    e.browsers = admission_.browsers();
    events_.post(std::move(e));
}

void WebServer::reply(std::int32_t request, const OutletReply& reply) {
    Connection* found = nullptr;
    for (auto& [id, c] : connections_) {
        if (!c->gone && c->stage == Stage::request && c->asked == request) found = c.get();
    }
    if (found == nullptr) return;  // gone meanwhile
    Connection& c = *found;
    c.asked = 0;
    switch (c.what) {
        case Asked::figures:
            answer(c, 200, QByteArray::fromStdString(reply.body),
                   "text/plain; version=0.0.4; charset=utf-8", {}, c.close_after);
            break;
        case Asked::saved_list:
            answer(c, 200, QByteArray::fromStdString(reply.body),
                   "text/plain; charset=windows-1252",
                   {{"Content-Disposition", "attachment; filename=\"" +
                                                QByteArray::fromStdString(reply.file_name) + "\""}},
                   c.close_after);
            break;
        case Asked::health: {
            if (reply.body.empty()) {
                answer_text(c, 200, "ok", c.close_after);
                break;
            }
            std::string problem = reply.body;
            for (char& ch : problem) {
                if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) ch = ' ';
            }
            answer_text(c, 503, problem.c_str(), c.close_after);
            break;
        }
    }
    // What came behind the request is read now.
    if (!c.gone && c.stage == Stage::request && !c.answering) read_requests(c);
}

void WebServer::answer(Connection& c, int status, const QByteArray& body, const QByteArray& type,
                       const Headers& more, bool close) {
    QByteArray r = "HTTP/1.1 " + QByteArray::number(status) + " " + reason_phrase(status) +
                   "\r\nContent-Type: " + type +
                   "\r\nContent-Length: " + QByteArray::number(body.size()) +
                   "\r\nContent-Security-Policy: " + content_security_policy +
                   "\r\nX-Frame-Options: DENY\r\nX-Content-Type-Options: nosniff"
                   "\r\nReferrer-Policy: no-referrer\r\nCache-Control: no-store\r\n";
    for (const auto& [name, value] : more)
        r += name + ": " + value + "\r\n";
    if (close) r += "Connection: close\r\n";
    r += "\r\n" + body;
    write(c, r.constData(), static_cast<std::size_t>(r.size()));
    if (close) {
        linger(c);
    } else if (waiting(c) > 0) {
        c.answering = true;
    }
}

void WebServer::answer_text(Connection& c, int status, const char* text, bool close,
                            const Headers& more) {
    answer(c, status, QByteArray(text) + "\n", "text/plain; charset=utf-8", more, close);
}

// ---- WebSocket ----

void WebServer::upgrade(Connection& c, const RequestHead& head) {
    switch (upgrade_problem(head)) {
        case UpgradeProblem::none:
            break;
        case UpgradeProblem::bad_version:
            answer_text(c, 400, "only WebSocket version 13 here", true,
                        {{"Sec-WebSocket-Version", "13"}});
            return;
        default:
            answer_text(c, 400, "not a WebSocket upgrade", true);
            return;
    }
    if (head.has_body) {
        answer_text(c, 400, "an upgrade has no body", true);
        return;
    }
    // A page from elsewhere must not read the bus through a visitor's browser.
    if (!origin_allowed(head, c.encrypted, options_.origins)) {
        answer_text(c, 403, "pages from this origin may not open the live view", true);
        return;
    }
    const bool key_required = !key().empty();
    const std::int64_t now = monotonic_ms();
    std::optional<Id> evicted;
    switch (admission_.websocket_opens(c.id, c.address, key_required, now, evicted)) {
        case BrowserAdmission::Upgrade::ok:
            break;
        case BrowserAdmission::Upgrade::too_many_from_address:
            answer_text(c, 429, "too many live views from this address", true);
            return;
        case BrowserAdmission::Upgrade::too_many_browsers:
            answer_text(c, 503, "every browser's place is taken", true);
            return;
    }
    if (evicted) {
        if (Connection* older = find(*evicted))
            close_websocket(*older, close_code::try_again_later, "too many waiting for the key");
    }
    const QByteArray accept =
        QCryptographicHash::hash(QByteArray::fromStdString(*head.field("sec-websocket-key")) +
                                     "258EAFA5-E914-47DA-95CA-C5AB0DC85B11",
                                 QCryptographicHash::Sha1)
            .toBase64();
    const QByteArray switching =
        "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
        "Connection: Upgrade\r\nSec-WebSocket-Accept: " +
        accept + "\r\n\r\n";
    write(c, switching.constData(), static_cast<std::size_t>(switching.size()));
    c.stage = Stage::websocket;
    c.head_deadline_ms = 0;
    c.browser = next_browser_++;
    if (key_required) {
        c.key_deadline_ms = now + options_.browser_key_ms;
        due(c.key_deadline_ms);
    }
    if (!send_frame(c, text_frame(std::string("{\"type\":\"hello\",\"key_required\":") +
                                  (key_required ? "true" : "false") + "}")))
        return;
    if (!key_required && !send_frame(c, text_frame(view_.state_message(false)))) return;
    // Frames sent right behind the upgrade came with its head.
    const std::string rest = c.requests.take_rest();
    if (!rest.empty()) take_frames(c, rest);
    if (!c.gone && c.stage == Stage::websocket) read_websocket(c);
}

void WebServer::read_websocket(Connection& c) {
    char bytes[16384];
    while (!c.gone && c.stage == Stage::websocket) {
        const qint64 n = c.socket->read(bytes, sizeof bytes);
        if (n <= 0) return;
        if (!admission_.admitted(c.id)) {
            // Before the key, a browser has little to say.
            c.input_before_key += static_cast<std::size_t>(n);
            if (c.input_before_key > max_unadmitted_input_bytes) {
                close_websocket(c, close_code::policy, "too much before the key");
                return;
            }
        }
        take_frames(c, std::string_view(bytes, static_cast<std::size_t>(n)));
    }
}

void WebServer::take_frames(Connection& c, std::string_view bytes) {
    std::vector<BrowserFrame> got;
    c.frames.add(bytes, got);
    for (BrowserFrame& f : got) {
        if (c.gone || c.stage != Stage::websocket) return;
        switch (f.kind) {
            case BrowserFrame::Kind::text:
                on_text(c, f.payload);
                break;
            case BrowserFrame::Kind::ping:
                if (c.pings.answer(monotonic_ms())) send_frame(c, server_frame(0xA, f.payload));
                break;
            case BrowserFrame::Kind::pong:
                break;
            case BrowserFrame::Kind::close:
                close_websocket(c, f.code != 0 ? f.code : close_code::normal, {});
                return;
        }
    }
    if (c.gone || c.stage != Stage::websocket) return;
    switch (c.frames.failure()) {
        case 0:
            return;
        case close_code::too_big:
            close_websocket(c, close_code::too_big, "message too big");
            return;
        case close_code::not_utf8:
            close_websocket(c, close_code::not_utf8, "text that is not UTF-8");
            return;
        case close_code::unsupported_data:
            close_websocket(c, close_code::unsupported_data, "text only");
            return;
        default:
            close_websocket(c, c.frames.failure(), "not a WebSocket frame");
            return;
    }
}

void WebServer::on_text(Connection& c, const std::string& text) {
    const QJsonObject m = QJsonDocument::fromJson(QByteArray::fromStdString(text)).object();
    if (!admission_.admitted(c.id)) {
        // Only a key counts as a try: anything else is let pass until the time is up.
        const std::string k = key();
        if (k.empty() || !m.contains("key")) return;
        if (blocked(c)) {
            refuse(c, Door::websocket, RefusalReason::blocked);
            close_websocket(c, close_code::policy, "blocked");
            return;
        }
        if (!same_key(m.value("key").toString().toStdString(), k)) {
            refuse(c, Door::websocket, RefusalReason::wrong_key);
            if (send_frame(c, text_frame(R"({"type":"refused","reason":"wrong key"})")))
                close_websocket(c, close_code::policy, "wrong key");
            return;
        }
        if (!admission_.admit(c.id)) {
            close_websocket(c, close_code::try_again_later, "every browser's place is taken");
            return;
        }
        c.authorised = true;
        c.key_deadline_ms = 0;
        send_frame(c, text_frame(view_.state_message(true)));
        return;
    }
    if (!c.authorised) return;  // watching only
    // The page writes "disconnect_all" where the console says "disconnect-all".
    const std::string word = m.value("control").toString().replace('_', '-').toStdString();
    const ControlWord* named = control_word(word);
    if (named == nullptr || !named->from_browsers) return;
    OperatorEvent e = OperatorEvent::used(named->control);
    if (named->control == Control::disconnect) {
        e.client = m.value("client").toInt(0);
        if (e.client == 0) return;
    }
    if (named->use == ControlUse::check) e.checked = m.value("checked").toBool();
    // Each use names its browser: what the gateway has to say about it goes
    // back there, never to a box that halts the loop.
    e.requester = c.browser;
    events_.post(e);
}

bool WebServer::send_frame(Connection& c, const std::string& frame) {
    if (c.gone) return false;
    if (waiting(c) + frame.size() > options_.most_waiting_bytes) {
        drop(c);
        return false;
    }
    write(c, frame.data(), frame.size());
    return true;
}

void WebServer::close_websocket(Connection& c, std::uint16_t code, std::string_view reason) {
    if (send_frame(c, close_frame(code, reason))) linger(c);
}

void WebServer::send_to_browsers(const std::vector<std::string>& messages) {
    // Framed once, written once a browser: one write each for the whole pass.
    std::string frames;
    for (const std::string& m : messages)
        frames += text_frame(m);
    for (auto& [id, c] : connections_) {
        if (c->gone || c->stage != Stage::websocket || c->behind || !admission_.admitted(id))
            continue;
        // Changes stop well before the bound; the state makes up for them later.
        const std::size_t w = waiting(*c);
        if (w > options_.behind_bytes || w + frames.size() > options_.most_waiting_bytes) {
            c->behind = true;
            continue;
        }
        write(*c, frames.data(), frames.size());
    }
}

void WebServer::send_to_browser(std::int32_t browser, const std::string& message) {
    for (auto& [id, c] : connections_) {
        if (!c->gone && c->stage == Stage::websocket && c->browser == browser &&
            admission_.admitted(id))
            send_frame(*c, text_frame(message));
    }
}

// ---- every connection ----

void WebServer::write(Connection& c, const char* bytes, std::size_t count) {
    // Straight to the kernel while nothing waits in the socket, as for the
    // bus clients: Qt's buffered write would arm and disarm the socket's
    // write notifier on every pass. Encrypted bytes go through the socket.
    std::size_t sent = 0;
    const qintptr fd = c.socket->socketDescriptor();
    if (!c.encrypted && fd >= 0 && c.socket->bytesToWrite() == 0) {
        const ssize_t n = ::send(static_cast<int>(fd), bytes, count, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) sent = static_cast<std::size_t>(n);
    }
    if (sent < count) c.socket->write(bytes + sent, static_cast<qint64>(count - sent));
}

std::size_t WebServer::waiting(const Connection& c) {
    qint64 w = c.socket->bytesToWrite();
    // Encrypted at once, what the peer does not take waits below the TLS layer.
    if (c.encrypted) w += static_cast<const QSslSocket*>(c.socket.get())->encryptedBytesToWrite();
    return static_cast<std::size_t>(std::max<qint64>(w, 0));
}

void WebServer::linger(Connection& c) {
    if (c.gone) return;
    admission_.closes(c.id);
    make_room_to_close(c.address);
    c.stage = Stage::closing;
    c.answering = false;
    c.key_deadline_ms = 0;
    c.idle_deadline_ms = monotonic_ms() + options_.http_idle_ms;
    c.socket->readAll();
    shut_when_sent(c);
    due(c.idle_deadline_ms);
}

void WebServer::make_room_to_close(const std::string& address) {
    // Peers that never take their last answer must not pile up closing
    // connections: past the bounds, the oldest of them goes at once.
    std::size_t all = 0;
    std::size_t its = 0;
    for (const auto& [id, other] : connections_) {
        if (other->gone || other->stage != Stage::closing) continue;
        ++all;
        its += other->address == address;
    }
    for (auto it = connections_.begin();
         it != connections_.end() && (all >= max_closing || its >= max_closing_per_address); ++it) {
        Connection& other = *it->second;
        if (other.gone || other.stage != Stage::closing) continue;
        if (all < max_closing && other.address != address) continue;
        its -= other.address == address;
        --all;
        drop(other);
    }
}

void WebServer::shut_when_sent(Connection& c) {
    if (c.shut || waiting(c) > 0) return;
    c.shut = true;
    if (c.encrypted) {
        // close_notify, then the end.
        c.socket->disconnectFromHost();
    } else {
        ::shutdown(static_cast<int>(c.socket->socketDescriptor()), SHUT_WR);
    }
    c.idle_deadline_ms = monotonic_ms() + options_.linger_ms;
    due(c.idle_deadline_ms);
}

void WebServer::drop(Connection& c) {
    if (c.gone) return;
    c.gone = true;
    admission_.closes(c.id);
    QObject::disconnect(c.socket.get(), nullptr, this, nullptr);
    c.socket->abort();
    // Freed outside its own signals: the wait delivers deferred deletes.
    c.socket.release()->deleteLater();
    if (!reap_queued_) {
        reap_queued_ = true;
        QMetaObject::invokeMethod(
            this, [this] { reap(); }, Qt::QueuedConnection);
    }
}

void WebServer::reap() {
    reap_queued_ = false;
    std::erase_if(connections_, [](const auto& entry) { return entry.second->gone; });
}

std::int64_t WebServer::deadline_of(const Connection& c) {
    switch (c.stage) {
        case Stage::websocket:
            return c.key_deadline_ms;
        case Stage::request:
            return c.head_deadline_ms != 0 && !c.answering ? c.head_deadline_ms
                                                           : c.idle_deadline_ms;
        case Stage::closing:
            return c.idle_deadline_ms;
    }
    return 0;
}

void WebServer::expire() {
    const std::int64_t now = monotonic_ms();
    std::vector<Id> late;
    for (const auto& [id, c] : connections_) {
        const std::int64_t deadline = c->gone ? 0 : deadline_of(*c);
        if (deadline != 0 && now >= deadline) late.push_back(id);
    }
    for (const Id id : late) {
        Connection* c = find(id);
        if (c == nullptr) continue;
        if (c->stage == Stage::websocket) {
            // Not a refusal: a person may be slow to type; the page asks again.
            close_websocket(*c, close_code::policy, "no key in time");
        } else if (c->stage == Stage::request && c->head_deadline_ms != 0 && !c->answering) {
            answer_text(*c, 408, "the request took too long", true);
        } else {
            drop(*c);
        }
    }
    std::int64_t next = std::numeric_limits<std::int64_t>::max();
    for (const auto& [id, c] : connections_) {
        const std::int64_t deadline = c->gone ? 0 : deadline_of(*c);
        if (deadline != 0) next = std::min(next, deadline);
    }
    // Answers and closes above may have set the timer for later than `next`.
    timer_.stop();
    timer_due_ms_ = 0;
    if (next != std::numeric_limits<std::int64_t>::max()) due(next);
}

void WebServer::due(std::int64_t deadline_ms) {
    if (timer_.isActive() && timer_due_ms_ <= deadline_ms) return;
    timer_due_ms_ = deadline_ms;
    const std::int64_t wait = std::max<std::int64_t>(0, deadline_ms - monotonic_ms()) + 1;
    timer_.start(static_cast<int>(std::min<std::int64_t>(wait, options_.http_idle_ms + 1)));
}

}  // namespace quillon
