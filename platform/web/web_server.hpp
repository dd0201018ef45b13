#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QSslConfiguration>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "clients/doors.hpp"
#include "clients/outlet.hpp"
#include "platform/qt/operator_events.hpp"
#include "platform/qt/tls_listener.hpp"
#include "platform/web/browser_admission.hpp"
#include "platform/web/http_request.hpp"
#include "platform/web/websocket_frames.hpp"
#include "ui/web/web_monitor_view.hpp"

class QTcpServer;
class QTcpSocket;

namespace quillon {

// The live view in a browser: the page and its files, a WebSocket "/live"
// that gets the whole state and then one message per change, "/save" (the
// saved list's bytes), "/metrics" and "/healthz". With a key, a browser sees
// nothing until it has sent the key, and "/save" and "/metrics" want it as a
// bearer token; without one, everyone may watch and no one may act.
// "/healthz" says only whether the gateway can carry frames, to anyone. What
// the gateway holds (the figures, the saved list, its health) is asked as an
// event of the loop's wait and sent once the gateway replies.
//
// HTTP/1.1 and the WebSocket are spoken here, strictly and within the
// limits of browser_admission.hpp: every connection has a deadline for what
// it must say, a bound on what it may make the gateway hold for it, and a
// cap per address. Blocked addresses are closed before a byte is read.
class WebServer : public QObject, public BrowserSink {
  public:
    struct Options {
        std::string key;  // empty: none
        // Pages elsewhere that may open the live view ("scheme://host[:port]").
        std::vector<std::string> origins;
        // The gateway's refusal table, as the network sees it: whether an
        // address is blocked, and a refusal at one of the monitor's doors.
        std::function<bool(const QHostAddress&)> blocked;
        std::function<void(Door, RefusalReason, const QHostAddress&, quint16 port)> refused;
        // What may wait for one browser, as browser_admission.hpp says; a
        // test sets smaller figures, so that a few rows reach them.
        std::size_t behind_bytes = browser_behind_bytes;
        std::size_t caught_up_bytes = browser_caught_up_bytes;
        std::size_t most_waiting_bytes = max_browser_output_bytes;
        // The time limits, as browser_admission.hpp and the TLS listener say;
        // a test run of the program shortens them.
        std::int64_t request_head_ms = request_head_limit_ms;
        std::int64_t http_idle_ms = http_idle_limit_ms;
        std::int64_t browser_key_ms = browser_key_limit_ms;
        std::int64_t tls_handshake_ms = TlsListener::handshake_limit_ms;
        // A connection that is done keeps being read (and what comes dropped)
        // this long after its last answer has left, so that the answer is not
        // lost to a reset while the peer is still sending.
        std::int64_t linger_ms = 2000;
    };

    WebServer(WebMonitorView& view, OperatorEventQueue& events, Options options);
    ~WebServer() override;

    // Listens on every address (all when none), over TLS when a configuration
    // is given; false when any of them cannot be had.
    bool listen_on(const std::vector<std::string>& addresses, std::uint16_t port,
                   const std::optional<QSslConfiguration>& tls);

    void set_key(std::string key) { options_.key = std::move(key); }
    // The gateway's reply to a request this server asked it (OperatorEvent::requester).
    void reply(std::int32_t request, const OutletReply& reply);

    void send_to_browsers(const std::vector<std::string>& messages) override;
    void send_to_browser(std::int32_t browser, const std::string& message) override;

  private:
    using Id = BrowserAdmission::Id;
    using Headers = std::vector<std::pair<QByteArray, QByteArray>>;

    enum class Stage : std::uint8_t {
        request,    // HTTP: a head to read, or an answer to deliver
        websocket,  // frames both ways
        closing,    // the last answer or close frame goes out; input is dropped
    };

    struct Connection {
        Id id = 0;
        std::unique_ptr<QTcpSocket> socket;
        bool encrypted = false;
        QHostAddress peer;
        quint16 port = 0;
        std::string address;  // its text, as the refusal table keys it
        Stage stage = Stage::request;
        bool gone = false;  // closed; the record goes at the next reaping

        RequestHeadReader requests;
        std::int64_t head_deadline_ms = 0;  // 0: no head begun
        // Request: the end of the silence allowed; closing: of the lingering.
        std::int64_t idle_deadline_ms = 0;
        bool answering = false;  // an answer waits to be taken; the input waits with it
        // A request the gateway has yet to reply to (its number); the input waits with it.
        std::int32_t asked = 0;
        Asked what = Asked::health;
        bool close_after = false;
        bool shut = false;  // closing: this side's end sent

        FrameDecoder frames;
        std::int32_t browser = 0;  // names it in its controls' events
        bool authorised = false;   // may act
        bool behind = false;       // gets no changes until it has caught up
        std::int64_t key_deadline_ms = 0;
        std::size_t input_before_key = 0;
        PingBudget pings;
    };

    void accept_from(QTcpServer* listener);
    void on_readable(Id id);
    void on_written(Id id);
    Connection* find(Id id);

    void read_requests(Connection& c);
    void handle_request(Connection& c, const RequestHead& head);
    void serve_figures(Connection& c, const RequestHead& head, bool save, bool close);
    void ask(Connection& c, Asked what, bool close);
    void answer(Connection& c, int status, const QByteArray& body, const QByteArray& type,
                const Headers& more, bool close);
    void answer_text(Connection& c, int status, const char* text, bool close,
                     const Headers& more = {});

    void upgrade(Connection& c, const RequestHead& head);
    void read_websocket(Connection& c);
    void take_frames(Connection& c, std::string_view bytes);
    void on_text(Connection& c, const std::string& text);
    // Writes a frame unless what would wait for the browser passes its bound,
    // in which case the connection is dropped; false then.
    bool send_frame(Connection& c, const std::string& frame);
    void close_websocket(Connection& c, std::uint16_t code, std::string_view reason);

    void write(Connection& c, const char* bytes, std::size_t count);
    static std::size_t waiting(const Connection& c);
    void linger(Connection& c);
    void make_room_to_close(const std::string& address);
    void shut_when_sent(Connection& c);
    void drop(Connection& c);
    void reap();

    // When the connection's time is up, by its stage; 0: never.
    static std::int64_t deadline_of(const Connection& c);
    void expire();
    void due(std::int64_t deadline_ms);
    const std::string& key() const { return options_.key; }
    bool blocked(const Connection& c) const;
    void refuse(const Connection& c, Door door, RefusalReason reason);

    WebMonitorView& view_;
    OperatorEventQueue& events_;
    Options options_;
    std::vector<std::unique_ptr<QTcpServer>> listeners_;
    std::map<Id, std::unique_ptr<Connection>> connections_;
    BrowserAdmission admission_;
    Id next_id_ = 1;
    std::int32_t next_browser_ = 1;
    std::int32_t next_request_ = 1;
    QTimer timer_;
    std::int64_t timer_due_ms_ = 0;
    bool reap_queued_ = false;
};

}  // namespace quillon
