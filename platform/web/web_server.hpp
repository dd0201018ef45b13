#pragma once

#include <QAbstractHttpServer>
#include <QHttpServerResponder>
#include <QPointer>
#include <QSslConfiguration>
#include <QTcpSocket>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "clients/doors.hpp"
#include "platform/qt/operator_events.hpp"
#include "ui/web/web_monitor_view.hpp"

class QTcpServer;
class QWebSocket;

namespace quillon {

// The live view in a browser: the page and its files, a WebSocket "/live"
// that gets the whole state and then one message per change, "/save" (the
// saved list's bytes) and "/metrics". With a key, a browser sees nothing
// until it has sent the key, and "/save" and "/metrics" want it as a bearer
// token; without one, everyone may watch and no one may act.
class WebServer : public QAbstractHttpServer, public BrowserSink {
  public:
    struct Options {
        std::function<std::string()> key;              // the key now (empty: none)
        std::function<std::string()> saved_list;       // the bytes "Save" writes
        std::function<std::string()> saved_list_name;  // and the file's name
        std::function<std::string()> metrics;          // Prometheus text
        // A wrong key at one of the monitor's doors.
        std::function<void(Door door, const QHostAddress& address, quint16 port)> refused;
    };
    // Past this much output waiting for it, a browser gets no more changes;
    // once it has caught up it gets the whole state instead.
    static constexpr qint64 max_browser_backlog_bytes = 1024 * 1024;
    static constexpr std::size_t max_browsers = 64;
    // What one HTTP connection may send before it is a WebSocket.
    static constexpr qint64 max_request_bytes = 64 * 1024;
    // HTTP connections (not yet browsers) at once, and how long one may stay silent.
    static constexpr std::size_t max_http_connections = 256;
    static constexpr std::int64_t http_idle_limit_ms = 30000;

    WebServer(WebMonitorView& view, OperatorEventQueue& events, Options options);
    ~WebServer() override;

    // Listens on every address (all when none), over TLS when a configuration
    // is given; false when any of them cannot be had.
    bool listen_on(const std::vector<std::string>& addresses, std::uint16_t port,
                   const std::optional<QSslConfiguration>& tls);

    void send_to_browsers(const std::vector<std::string>& messages) override;
    void send_to_browser(std::int32_t browser, const std::string& message) override;
    std::size_t browser_count() const { return browsers_.size(); }

  protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

  private:
    using Headers = std::vector<std::pair<QByteArray, QByteArray>>;
    static void respond(const QHttpServerRequest& request, QTcpSocket* socket,
                        QHttpServerResponder::StatusCode status, const QByteArray& body,
                        const QByteArray& type, const Headers& more = {});
    static void respond_text(const QHttpServerRequest& request, QTcpSocket* socket,
                             QHttpServerResponder::StatusCode status, const char* text,
                             const Headers& more = {});

    struct Browser {
        std::int32_t id = 0;  // names it in the events of its controls
        std::unique_ptr<QWebSocket> socket;
        QTcpSocket* wire = nullptr;  // the connection under it, owned by the WebSocket
        bool encrypted = false;
        bool admitted = false;    // may get the view
        bool authorised = false;  // may act
        bool behind = false;
        bool gone = false;
    };

    void accept_browsers();
    void on_message(Browser& b, const QString& text);
    void send(Browser& b, const std::string& message);
    void write_frames(Browser& b, const std::string& frames);
    static std::string text_frame(const std::string& message);
    QTcpSocket* take_wire(const QWebSocket& ws);
    void drop_gone();
    bool bearer_ok(const QHttpServerRequest& request) const;
    std::string key() const;
    void watch_request_bytes(QTcpSocket* socket);

    WebMonitorView& view_;
    OperatorEventQueue& events_;
    Options options_;
    std::vector<std::unique_ptr<QTcpServer>> listeners_;
    std::list<Browser> browsers_;
    std::int32_t next_browser_id_ = 1;
    // The HTTP connections, watched from their first byte; one of them
    // becomes each browser's wire.
    std::vector<QPointer<QTcpSocket>> connections_;
};

}  // namespace quillon
