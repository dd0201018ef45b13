// The live view in a browser, on the whole gateway in one process: the serial
// port on a pseudo-terminal, the console in front, the web server on loopback,
// and Qt's own WebSocket and HTTP clients as the browsers.
#include <poll.h>
#include <unistd.h>

#include <QAbstractEventDispatcher>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QWebSocket>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "analyzer/traffic_list_file.hpp"
#include "bus/bus_frame.hpp"
#include "core/gateway.hpp"
#include "core/gateway_loop.hpp"
#include "core/servers.hpp"
#include "gui_test_support.hpp"
#include "platform/console/console_view.hpp"
#include "platform/openssl/certificate_maker.hpp"
#include "platform/posix/posix_files.hpp"
#include "platform/qt/event_waiter.hpp"
#include "platform/qt/operator_events.hpp"
#include "platform/qt/qt_network.hpp"
#include "platform/qt/qt_serial_port.hpp"
#include "platform/qt/system_clock.hpp"
#include "platform/web/web_outlet.hpp"
#include "real_io_support.hpp"
#include "tests/support/velbus_frame.hpp"
#include "ui/view_fan_out.hpp"
#include "ui/web/web_monitor_view.hpp"
#include "websocket_client.hpp"

namespace quillon::testing {
namespace {

using namespace std::chrono_literals;

// A frame of one command byte; with a checksum one off when not good.
Bytes frame(std::uint8_t address, std::uint8_t command, bool good_checksum = true) {
    Bytes b = make_frame(0xFB, address, {command});
    if (!good_checksum) ++b[b.size() - 2];
    return b;
}

// A live view message: its type and the hex of its rows (a row's, or a
// state's in their order).
struct Message {
    std::string type;
    std::vector<std::string> hex;
};

Message parsed(const std::string& text) {
    const QJsonObject m = QJsonDocument::fromJson(QByteArray::fromStdString(text)).object();
    Message parsed{m.value("type").toString().toStdString(), {}};
    if (parsed.type == "row")
        parsed.hex.push_back(m.value("row").toObject().value("hex").toString().toStdString());
    for (const QJsonValue& row : m.value("rows").toArray())
        parsed.hex.push_back(row.toObject().value("hex").toString().toStdString());
    return parsed;
}

// A browser: every message it got, in order.
struct Browser {
    QWebSocket socket;
    std::vector<QJsonObject> got;
    bool closed = false;
    std::size_t pongs = 0;

    Browser() {
        QObject::connect(&socket, &QWebSocket::pong, [this] { ++pongs; });
        QObject::connect(&socket, &QWebSocket::textMessageReceived, [this](const QString& t) {
            got.push_back(QJsonDocument::fromJson(t.toUtf8()).object());
        });
        QObject::connect(&socket, &QWebSocket::disconnected, [this] { closed = true; });
    }
    void say(const char* json) { socket.sendTextMessage(QString::fromUtf8(json)); }
    std::size_t count(const char* type) const {
        std::size_t n = 0;
        for (const QJsonObject& m : got)
            n += m.value("type").toString() == QLatin1String(type);
        return n;
    }
};

class WebMonitor : public ::testing::Test {
  protected:
    // The web server answers from Qt's events, which wake no pass: a pass's
    // wait ends as soon as what the test waits for has come.
    WebMonitor() {
        waiter_.add_pending_check([this] { return wait_ends_ && wait_ends_(); });
    }

    void TearDown() override {
        // The gateway closes its outlet as it shuts down.
        if (gw_) shutdown(*gw_);
        web_.reset();
        if (master_ >= 0) ::close(master_);
        std::filesystem::remove_all(dir_);
    }

    // The gateway on its real parts with these settings lines, and its web monitor.
    // With `tls`, the page is served over TLS with a self-signed pair, as when
    // the gateway has a TLS server.
    void start(const std::string& lines, bool tls = false) {
        master_ = open_pseudo_terminal();
        ASSERT_GE(master_, 0);
        port_ = free_port_pair();
        web_port_ = free_port_pair();
        ASSERT_TRUE(port_ != 0 && web_port_ != 0 && port_ != web_port_);
        dir_ =
            std::filesystem::temp_directory_path() / ("quillon-web-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_);
        std::ofstream(dir_ / "Quillon.ini", std::ios::binary)
            << "IPPort = " << port_ << "\r\nSerialPort = " << ::ptsname(master_)
            << ",38400,0,8,1,0\r\n"
            << lines;
        ConsoleView::Options o;
        o.out = console_out_.file();
        o.err = console_out_.file();
        o.input_fd = -1;
        console_ = std::make_unique<ConsoleView>(events_, o);
        views_ = std::make_unique<ViewFanOut>(*console_, *console_, web_view_);
        gw_ = std::make_unique<Gateway>(Ports{clock_, serial_, network_, *views_, *views_, events_,
                                              *views_, *console_, files_});
        gw_->setup.settings_file = dir_ / "Quillon.ini";
        gw_->setup.data_directory = dir_;
        gw_->setup.listen_override = std::vector<std::string>{"127.0.0.1"};
        ASSERT_EQ(start_gateway(*gw_), StartOutcome::running);

        // Opened here rather than by the gateway, so that it may have a TLS
        // pair of its own; the gateway replies to what it asks.
        web_ = std::make_unique<WebOutlet>(WebParts{web_view_, events_, network_, web_options_});
        OutletOpening opening;
        opening.port = web_port_;
        opening.addresses = {"127.0.0.1"};
        opening.key = gw_->settings.auth_key;
        if (tls) {
            const TlsFiles files{(dir_ / "web.crt").string(), (dir_ / "web.key").string()};
            std::string error;
            ASSERT_TRUE(make_self_signed_certificate(files.certificate, files.private_key,
                                                     "localhost", error))
                << error;
            opening.tls = files;
        }
        ASSERT_TRUE(web_->open(opening).open);
        gw_->setup.outlet = web_.get();
        gw_->servers.outlet = true;
    }

    // Runs passes until `done` holds, at most 5 s.
    bool passes_until(const std::function<bool()>& done) {
        wait_ends_ = done;
        const bool held = testing::passes_until(*gw_, done);
        wait_ends_ = nullptr;
        return held;
    }
    // Passes until the pong of a ping sent now: the server has read by then
    // all that the browser said before it, and answered.
    bool passes_until_read(Browser& b) {
        const std::size_t pongs = b.pongs;
        b.socket.ping();
        return passes_until([&] { return b.pongs > pongs; });
    }
    // Runs `talk`, a browser's blocking calls, on a thread of its own while
    // passes go on here for the server to answer it; its result.
    template <typename Talk>
    auto beside_passes(Talk talk) {
        QAbstractEventDispatcher* here = QAbstractEventDispatcher::instance();
        auto done = std::async(std::launch::async, [&talk, here] {
            auto result = talk();
            here->wakeUp();
            return result;
        });
        const auto ready = [&] {
            return done.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
        };
        wait_ends_ = ready;
        QElapsedTimer t;
        t.start();
        while (!ready() && t.elapsed() < 20000)
            run_pass(*gw_);
        wait_ends_ = nullptr;
        return done.get();
    }
    // Passes that take in what has come and do not wait for more.
    void passes_without_waiting(int count) {
        wait_ends_ = [] { return true; };
        for (int k = 0; k < count; ++k)
            run_pass(*gw_);
        wait_ends_ = nullptr;
    }
    // Processes Qt's events only, no pass of the gateway: at most 2 s.
    bool events_until(const std::function<bool()>& done) {
        QElapsedTimer t;
        t.start();
        while (!done() && t.elapsed() < 2000)
            waiter_.wait(5);
        return done();
    }
    void open(Browser& b, const char* scheme = "ws") {
        // The self-signed certificate is taken, as a person accepts it once.
        QObject::connect(&b.socket, &QWebSocket::sslErrors, &b.socket,
                         [&b](const QList<QSslError>&) { b.socket.ignoreSslErrors(); });
        b.socket.open(QUrl(QString("%1://127.0.0.1:%2/live").arg(scheme).arg(web_port_)));
        ASSERT_TRUE(passes_until([&] { return !b.got.empty() || b.closed; }));
        ASSERT_EQ(b.got.front().value("type").toString(), "hello");
    }
    void write_bus(const Bytes& bytes) {
        ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // An HTTP GET, with the key as a bearer token when one is given.
    std::pair<int, QByteArray> get(const QString& path, const QByteArray& key = {}) {
        QNetworkRequest request(QUrl(QString("http://127.0.0.1:%1%2").arg(web_port_).arg(path)));
        if (!key.isEmpty()) request.setRawHeader("Authorization", "Bearer " + key);
        std::unique_ptr<QNetworkReply> reply(http_.get(request));
        // What the gateway holds comes with its next pass, which the request wakes.
        passes_until([&] { return reply->isFinished(); });
        return {reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
                reply->readAll()};
    }
    std::string console_text() { return console_out_.text(); }

    WebServer::Options web_options_;
    EventWaiter waiter_;
    SystemClock clock_;
    PosixFiles files_;
    QtSerialPort serial_{waiter_};
    QtNetwork network_{waiter_};
    OperatorEventQueue events_{waiter_};
    WebMonitorView web_view_;
    CapturedStream console_out_;  // before the console, which writes to it until it goes
    std::unique_ptr<ConsoleView> console_;
    std::unique_ptr<ViewFanOut> views_;
    std::unique_ptr<Gateway> gw_;
    std::unique_ptr<WebOutlet> web_;
    QNetworkAccessManager http_;
    std::function<bool()> wait_ends_;
    int master_ = -1;
    std::uint16_t port_ = 0;
    std::uint16_t web_port_ = 0;
    std::filesystem::path dir_;
};

TEST_F(WebMonitor, ABrowserWithTheKeyGetsTheStateThenEachBusFrameAsARowOfTheSamePass) {
    start("AuthKey = secret\r\n");
    const Bytes scan = frame(0x01, 0xFA);
    write_bus(scan);
    ASSERT_TRUE(
        passes_until([&] { return console_text().find("0FFB0101FA") != std::string::npos; }));

    Browser b;
    open(b);
    EXPECT_TRUE(b.got.front().value("key_required").toBool());
    ASSERT_TRUE(passes_until_read(b));
    EXPECT_EQ(b.got.size(), 1u) << "something shown before the key";
    b.say(R"({"key":"secret"})");
    ASSERT_TRUE(passes_until([&] { return b.count("state") == 1; }));
    const QJsonObject state = b.got.back();
    EXPECT_TRUE(state.value("authorised").toBool());
    EXPECT_EQ(state.value("title").toString(), "Quillon 3.25");
    ASSERT_EQ(state.value("rows").toArray().size(), 1);
    EXPECT_EQ(state.value("rows").toArray()[0].toObject().value("hex").toString(),
              QString::fromStdString(hex_dump(scan)));
    EXPECT_EQ(state.value("history").toArray().size(), 111);

    // The pass that shows the frame sends its row; no further pass is needed.
    const Bytes relay = frame(0x02, 0xFB);
    write_bus(relay);
    const std::size_t shown_before = console_text().size();
    ASSERT_TRUE(passes_until([&] { return console_text().size() > shown_before; }));
    ASSERT_TRUE(events_until([&] { return b.count("row") == 1; }));
    for (const QJsonObject& m : b.got) {
        if (m.value("type") != "row") continue;
        const QJsonObject row = m.value("row").toObject();
        EXPECT_EQ(row.value("hex").toString(), QString::fromStdString(hex_dump(relay)));
        EXPECT_EQ(row.value("icon").toString(), "bus");
        EXPECT_EQ(row.value("colour").toString(), "#149614");
    }
}

TEST_F(WebMonitor, ControlsNeedTheKeyAndAWrongKeyIsTurnedAway) {
    start("AuthKey = secret\r\n");
    write_bus(frame(0x01, 0xFA));
    ASSERT_TRUE(
        passes_until([&] { return console_text().find("0FFB0101FA") != std::string::npos; }));

    Browser stranger;
    open(stranger);
    stranger.say(R"({"key":"guess"})");
    ASSERT_TRUE(passes_until([&] { return stranger.closed; }));
    ASSERT_EQ(stranger.got.size(), 2u);
    EXPECT_EQ(stranger.got[1].value("type").toString(), "refused");
    EXPECT_EQ(get("/save").first, 401);
    EXPECT_EQ(get("/save", "guess").first, 401);
    EXPECT_EQ(get("/metrics").first, 401);

    Browser operator_;
    open(operator_);
    operator_.say(R"({"key":"secret"})");
    ASSERT_TRUE(passes_until([&] { return operator_.count("state") == 1; }));
    const auto [status, saved] = get("/save", "secret");
    EXPECT_EQ(status, 200);
    EXPECT_EQ(saved.toStdString(), traffic_list_text(gw_->traffic.rows()));
    operator_.say(R"({"control":"delay","checked":false})");
    operator_.say(R"({"control":"clear"})");
    ASSERT_TRUE(passes_until([&] { return operator_.count("clear") == 1; }));
    EXPECT_NE(console_text().find("traffic list cleared"), std::string::npos);
    bool unchecked = false;
    for (const QJsonObject& m : operator_.got)
        unchecked |= m.value("type") == "control" && m.value("name") == "delay" &&
                     !m.value("checked").toBool();
    EXPECT_TRUE(unchecked) << "the delay box change was not shown";
}

TEST_F(WebMonitor, WithoutAKeyEveryoneWatchesAndNoOneActs) {
    start("");
    Browser watcher;
    open(watcher);
    EXPECT_FALSE(watcher.got.front().value("key_required").toBool());
    ASSERT_TRUE(passes_until([&] { return watcher.count("state") == 1; }));
    EXPECT_FALSE(watcher.got.back().value("authorised").toBool());
    write_bus(frame(0x01, 0xFA));
    ASSERT_TRUE(passes_until([&] { return watcher.count("row") == 1; }));
    watcher.say(R"({"control":"clear"})");
    watcher.say(R"({"control":"disconnect_all"})");
    ASSERT_TRUE(passes_until_read(watcher));
    // Time for the gateway to act on whatever the server might have let through.
    passes_without_waiting(3);
    EXPECT_EQ(watcher.count("clear"), 0u);
    EXPECT_EQ(console_text().find("traffic list cleared"), std::string::npos);
    EXPECT_EQ(get("/save").first, 401);
    EXPECT_EQ(get("/metrics").first, 200);
}

TEST_F(WebMonitor, ABrowserThatStopsReadingGetsTheStateInsteadOfWhatItMissedPastItsBounds) {
    // Bounds well under the gateway's, so that a few thousand rows pass them;
    // the most still takes a whole state of 500 rows.
    web_options_.behind_bytes = 32 * 1024;
    web_options_.caught_up_bytes = 8 * 1024;
    web_options_.most_waiting_bytes = 256 * 1024;
    start("");
    // It reads its hello and the state, then nothing until the flood is over.
    // Its window is a few KiB and its segments small, so that its backlog
    // grows in the server and not in the kernels' buffers.
    auto slow = beside_passes([port =
                                   web_port_]() -> std::unique_ptr<integration::WebSocketClient> {
        auto ws = integration::WebSocketClient::connect_narrow(port, 5s, 2048, 536);
        if (!ws || !ws->upgrade("/live", 5s)) return nullptr;
        const auto hello = ws->next_text(5s);
        const auto state = ws->next_text(5s);
        if (!hello || !state || parsed(*hello).type != "hello" || parsed(*state).type != "state")
            return nullptr;
        return ws;
    });
    ASSERT_TRUE(slow);
    Browser good;
    std::vector<std::string> good_rows;
    QObject::connect(&good.socket, &QWebSocket::textMessageReceived, [&](const QString& t) {
        const Message m = parsed(t.toStdString());
        if (m.type == "row") good_rows.push_back(m.hex.at(0));
    });
    open(good);

    constexpr std::size_t frames = 4000;
    constexpr std::size_t chunk = 200;
    std::vector<std::string> written;
    for (std::size_t i = 0; i < frames;) {
        Bytes bytes;
        for (const std::size_t end = std::min(frames, i + chunk); i < end; ++i) {
            // Its number in the data, so that each is told apart.
            const Bytes f = make_frame(0xFB, static_cast<std::uint8_t>(0x10 + i % 0x60),
                                       {0x01, 0xFF, static_cast<std::uint8_t>(i >> 8),
                                        static_cast<std::uint8_t>(i), 0xFF, 0xFF, 0xFF, 0xFF});
            written.push_back(hex_dump(f));
            bytes.insert(bytes.end(), f.begin(), f.end());
        }
        write_bus(bytes);
        // The good browser takes each chunk's rows before the next is written.
        ASSERT_TRUE(passes_until([&] { return good_rows.size() >= written.size(); }))
            << "the good browser got " << good_rows.size() << " of " << written.size() << " rows";
    }
    EXPECT_EQ(good_rows, written);

    // The slow browser now reads: the rows that waited for it, in order,
    // then the state in place of all the rows it missed.
    struct Read {
        std::vector<std::string> rows;
        std::optional<Message> state;
    };
    const Read read = beside_passes([&slow] {
        Read r;
        while (const auto text = slow->next_text(5s)) {
            Message m = parsed(*text);
            if (m.type == "row") r.rows.push_back(m.hex.at(0));
            if (m.type != "state") continue;
            r.state = std::move(m);
            break;
        }
        return r;
    });
    ASSERT_TRUE(read.state) << "no state after " << read.rows.size() << " rows";
    EXPECT_LT(read.rows.size(), frames - 1000);
    ASSERT_LE(read.rows.size(), written.size());
    EXPECT_TRUE(std::equal(read.rows.begin(), read.rows.end(), written.begin()));
    // The state's rows, newest first, are the last frames written.
    const std::vector<std::string>& latest = read.state->hex;
    ASSERT_TRUE(!latest.empty() && latest.size() <= written.size()) << latest.size() << " rows";
    EXPECT_TRUE(std::equal(latest.begin(), latest.end(), written.rbegin()));

    // From there on it gets every change again.
    const Bytes after = make_frame(0xFB, 0x7F, {0xFB, 0x00});
    write_bus(after);
    const std::optional<std::string> next_row = beside_passes([&slow] {
        std::optional<std::string> row;
        while (const auto text = slow->next_text(5s)) {
            const Message m = parsed(*text);
            if (m.type != "row") continue;
            row = m.hex.at(0);
            break;
        }
        return row;
    });
    EXPECT_EQ(next_row.value_or("no row"), hex_dump(after));
}

TEST_F(WebMonitor, OverTlsTheBrowserGetsTheSameViewAndPlainHttpGetsNothing) {
    start("", true);
    Browser b;
    open(b, "wss");
    ASSERT_TRUE(passes_until([&] { return b.count("state") == 1; }));
    write_bus(frame(0x01, 0xFA));
    ASSERT_TRUE(passes_until([&] { return b.count("row") == 1; }));
    EXPECT_EQ(get("/metrics").first, 0) << "the page answered without TLS";
}

// Each request head has its own time from its first byte: one answered when
// its time is up puts off no other's.
TEST_F(WebMonitor, EveryUnfinishedRequestHeadIsAnsweredWhenItsOwnTimeIsUp) {
    web_options_.request_head_ms = 300;
    start("");
    const std::vector<std::int64_t> lasted = beside_passes([port = web_port_] {
        // Three heads of one byte, begun 100 ms apart.
        std::vector<int> fds;
        std::vector<std::chrono::steady_clock::time_point> began;
        std::vector<std::int64_t> ms(3, -1);
        std::vector<std::string> answers(3);
        for (int k = 0; k < 3; ++k) {
            fds.push_back(connect_loopback(port));
            if (fds.back() < 0 || ::write(fds.back(), "G", 1) != 1) return ms;
            began.push_back(std::chrono::steady_clock::now());
            std::this_thread::sleep_for(100ms);
        }
        const auto until = std::chrono::steady_clock::now() + 5s;
        for (std::size_t k = 0; k < fds.size(); ++k) {
            char bytes[512];
            for (ssize_t n = 1; n > 0 && std::chrono::steady_clock::now() < until;) {
                pollfd p{fds[k], POLLIN, 0};
                if (::poll(&p, 1, 50) != 1) continue;
                n = ::read(fds[k], bytes, sizeof bytes);
                if (n > 0) answers[k].append(bytes, static_cast<std::size_t>(n));
                if (n == 0 && answers[k].starts_with("HTTP/1.1 408"))
                    ms[k] = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - began[k])
                                .count();
            }
            ::close(fds[k]);
        }
        return ms;
    });
    for (const std::int64_t ms : lasted) {
        EXPECT_GE(ms, 300) << "no 408 and end";
        EXPECT_LT(ms, 300 + 1500);
    }
}

TEST_F(WebMonitor, MetricsCountWhatPassed) {
    start("AuthKey = secret\r\n");
    const int client = connect_loopback(port_);
    ASSERT_GE(client, 0);
    Bytes to_bus{'s', 'e', 'c', 'r', 'e', 't'};
    const Bytes scan = frame(0x05, 0xFA);
    to_bus.insert(to_bus.end(), scan.begin(), scan.end());
    ASSERT_EQ(::write(client, to_bus.data(), to_bus.size()), static_cast<ssize_t>(to_bus.size()));
    write_bus(frame(0x01, 0xFA));
    write_bus(frame(0x02, 0xFA, false));
    Browser stranger;
    open(stranger);
    stranger.say(R"({"key":"guess"})");
    ASSERT_TRUE(passes_until([&] {
        return stranger.closed && console_text().find("0FFB0201FA") != std::string::npos &&
               console_text().find("0FFB0501FA") != std::string::npos;
    }));
    const auto [status, text] = get("/metrics", "secret");
    ::close(client);
    ASSERT_EQ(status, 200);
    const std::string m = text.toStdString();
    for (const char* line :
         {"quillon_frames_total{from=\"bus\"} 2\n", "quillon_frames_total{from=\"clients\"} 1\n",
          "quillon_bad_frames_total{from=\"bus\",kind=\"checksum\"} 1\n",
          "quillon_bad_frames_total{from=\"clients\",kind=\"checksum\"} 0\n", "quillon_clients 1\n",
          "quillon_refused_total{door=\"websocket\"} 1\n", "quillon_serial_link_up 1\n",
          "quillon_module_flow{state=\"accepting\"} 1\n"})
        EXPECT_NE(m.find(line), std::string::npos) << line << " not in\n" << m;
}

}  // namespace
}  // namespace quillon::testing
