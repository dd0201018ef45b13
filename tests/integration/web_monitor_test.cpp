// The web monitor under load and abuse: a browser that stops reading, a
// barrage of malformed HTTP requests and WebSocket frames, and the attacks of
// a hostile network (silent handshakes, pings never read, guessed keys,
// foreign pages, crowds of idle connections), each from other loopback
// addresses while a browser from 127.0.0.1 goes on.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <thread>

#include "gateway_fixture.hpp"
#include "platform/web/browser_admission.hpp"
#include "tls_client.hpp"
#include "websocket_client.hpp"

namespace quillon::integration {
namespace {

namespace fs = std::filesystem;

std::string type_of(const std::string& message) {
    const std::string prefix = "{\"type\":\"";
    if (!message.starts_with(prefix)) return {};
    const std::size_t end = message.find('"', prefix.size());
    return message.substr(prefix.size(), end - prefix.size());
}

// The hex cells of a row message or of a state's rows, in the message's order.
std::vector<std::string> hex_cells(const std::string& message) {
    std::vector<std::string> found;
    const std::string key = "\"hex\":\"";
    for (std::size_t at = message.find(key); at != std::string::npos; at = message.find(key, at)) {
        at += key.size();
        found.push_back(message.substr(at, message.find('"', at) - at));
    }
    return found;
}

// A connection from another loopback address (non-blocking), waited for
// unless `begun_only`: an attacker never waits for a server that does not
// take it. -1 when none was made.
int connect_from(const std::string& source, std::uint16_t port, bool begun_only = false) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, source.c_str(), &local.sin_addr);
    // The port is picked at connect, for this peer: thousands of short
    // connections from one address do not run out of ports.
    const int late_port = 1;
    ::setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &late_port, sizeof late_port);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(port);
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int error = 0;
    socklen_t size = sizeof error;
    pollfd writable{fd, POLLOUT, 0};
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
        (::connect(fd, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0 &&
         errno != EINPROGRESS) ||
        (!begun_only &&
         (::poll(&writable, 1, static_cast<int>(std::chrono::milliseconds(patience).count())) !=
              1 ||
          ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0))) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Whether the far side has ended the connection; what it sent before is read and dropped.
bool ended(int fd) {
    char bytes[4096];
    for (;;) {
        const ssize_t n = ::recv(fd, bytes, sizeof bytes, MSG_DONTWAIT);
        if (n > 0) continue;
        return n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
    }
}

const std::string web_key = "Wm4-Tz8q-Kd2v-Ps6n";

class WebPort : public GatewayTest {
  protected:
    void start_with_web(const std::string& lines = "") {
        std::ofstream(dir_.path() / "Quillon.ini", std::ios::binary)
            << "IPPort = " << port_ << "\r\nSerialPort = " << bus_->slave_path()
            << ",38400,0,8,1,0\r\nWebPort = " << web_port_ << "\r\n"
            << lines;
        start_gateway();
    }

    // A browser on /live that has read its hello and the state.
    std::unique_ptr<WebSocketClient> browser(std::unique_ptr<WebSocketClient> ws,
                                             std::string* state = nullptr,
                                             const std::string& more_headers = "") {
        EXPECT_TRUE(ws) << "no connection to the web port";
        if (!ws) return nullptr;
        EXPECT_TRUE(ws->upgrade("/live", patience, more_headers)) << ws->http_head();
        const auto hello = ws->next_text(patience);
        EXPECT_EQ(hello.value_or("nothing"), R"({"type":"hello","key_required":false})");
        const auto first = ws->next_text(patience);
        EXPECT_EQ(type_of(first.value_or("")), "state") << first.value_or("nothing");
        if (state != nullptr) *state = first.value_or("");
        return ws;
    }

    // A browser that gives the key and is let in: its hello, then the state.
    static std::unique_ptr<WebSocketClient> keyed_browser(std::unique_ptr<WebSocketClient> ws) {
        if (!ws || !ws->upgrade("/live", patience)) return nullptr;
        if (ws->next_text(patience) != R"({"type":"hello","key_required":true})") return nullptr;
        if (!ws->send_text(R"({"key":")" + web_key + R"("})")) return nullptr;
        const auto state = ws->next_text(patience);
        return type_of(state.value_or("")) == "state" ? std::move(ws) : nullptr;
    }

    // Writes a bus frame and reads the browser's messages until its row.
    bool row_reaches(WebSocketClient& ws, std::uint8_t address) {
        const Bytes frame = make_frame(0xFB, address, {0xFB, 0x00});
        write_bus(frame);
        while (auto m = ws.next_text(patience)) {
            if (type_of(*m) == "row" && hex_cells(*m).at(0) == hex_text(frame)) return true;
        }
        return false;
    }

    // Waits until the gateway holds no more descriptors than before.
    bool descriptors_back_to(std::size_t before) {
        for (const auto until = SteadyClock::now() + patience; SteadyClock::now() < until;) {
            if (open_descriptors(gateway_->pid()) <= before) return true;
            std::this_thread::sleep_for(50ms);
        }
        ADD_FAILURE() << "open files: " << before << " before, "
                      << open_descriptors(gateway_->pid()) << " after";
        return false;
    }

    // The texts of the rows about refused peers, in order.
    std::vector<std::string> access_rows() const {
        std::vector<std::string> found;
        for (const ShownRow& r : rows())
            if (r.hex == "- access -") found.push_back(r.source);
        return found;
    }

    std::uint16_t web_port_ = pick_free_port_pair();
};

// Frame i of a flood: its number in the data, so that each is told apart,
// and eight data bytes with a long description, so that its row is large.
Bytes numbered_frame(std::size_t i) {
    return make_frame(0xFB, static_cast<std::uint8_t>(0x10 + i % 0x60),
                      {0x01, 0xFF, static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i),
                       0xFF, 0xFF, 0xFF, 0xFF});
}

TEST_F(WebPort, ABrowserThatStopsReadingStallsNoOneAndGetsTheStateInsteadOfWhatItMissed) {
    start_with_web();
    auto client = connect_client();
    ASSERT_TRUE(client);
    // It reads its hello and the state, then nothing until the flood is over.
    // Its window is a few KiB and its segments small, so that its backlog
    // grows in the gateway and not in the kernels' buffers.
    auto slow = browser(WebSocketClient::connect_narrow(web_port_, patience, 2048, 536));
    auto good = browser(WebSocketClient::connect_to(web_port_, patience));
    ASSERT_TRUE(slow && good);

    // A row is some 220 bytes of JSON: the slow browser passes its 1 MiB after
    // some 5,000 of them. The bus clients get a frame every 2 ms, so every
    // frame more costs the test that much.
    constexpr std::size_t frames = 8000;
    constexpr std::size_t chunk = 200;
    std::vector<std::string> written;
    Bytes all;
    std::vector<std::string> good_rows;
    for (std::size_t i = 0; i < frames;) {
        Bytes bytes;
        for (const std::size_t end = std::min(frames, i + chunk); i < end; ++i) {
            const Bytes f = numbered_frame(i);
            written.push_back(hex_text(f));
            bytes.insert(bytes.end(), f.begin(), f.end());
        }
        write_bus(bytes);
        all.insert(all.end(), bytes.begin(), bytes.end());
        // The good browser takes each chunk's rows before the next is written.
        while (good_rows.size() < written.size()) {
            const auto m = good->next_text(patience);
            if (!m) break;
            if (type_of(*m) == "row") good_rows.push_back(hex_cells(*m).at(0));
        }
        ASSERT_EQ(good_rows.size(), written.size()) << "the good browser got no more rows";
    }
    const auto differ = std::mismatch(good_rows.begin(), good_rows.end(), written.begin());
    EXPECT_EQ(differ.first, good_rows.end())
        << "row " << (differ.first - good_rows.begin()) << " of the good browser";

    // The slow browser now reads: the rows that waited for it, in order,
    // then the state in place of all the rows it missed.
    std::size_t slow_rows = 0;
    std::optional<std::string> state;
    while (auto m = slow->next_text(patience)) {
        const std::string type = type_of(*m);
        if (type == "row") {
            ASSERT_LT(slow_rows, written.size());
            EXPECT_EQ(hex_cells(*m).at(0), written[slow_rows]) << "row " << slow_rows;
            ++slow_rows;
        } else if (type == "state") {
            state = std::move(m);
            break;
        }
    }
    ASSERT_TRUE(state) << "no state after " << slow_rows << " rows";
    EXPECT_LT(slow_rows, frames - 1000);
    // Newest first: the last frames written.
    const std::vector<std::string> latest = hex_cells(*state);
    ASSERT_FALSE(latest.empty());
    ASSERT_LE(latest.size(), written.size());
    EXPECT_TRUE(std::equal(latest.begin(), latest.end(), written.rbegin()))
        << "the state's first row is " << latest.front() << ", the last frame " << written.back();

    // From there on it gets every change again.
    const Bytes after = make_frame(0xFB, 0x7F, {0xFB, 0x00});
    write_bus(after);
    all.insert(all.end(), after.begin(), after.end());
    std::optional<std::string> next_row;
    while (auto m = slow->next_text(patience)) {
        if (type_of(*m) == "row") {
            next_row = std::move(m);
            break;
        }
    }
    ASSERT_TRUE(next_row) << "the slow browser gets no rows after its state";
    EXPECT_EQ(hex_cells(*next_row).at(0), hex_text(after));

    const auto spacing = std::chrono::milliseconds(2 * (frames + 1));
    EXPECT_TRUE(client->wait_bytes(all.size(), spacing + patience))
        << "the bus client got " << client->received().size() << " of " << all.size() << " bytes";
    EXPECT_TRUE(client->received() == all) << "the bus client's bytes differ";
}

// What the server does with one piece of bad input.
enum class Answer {
    status,    // this HTTP status first
    closed,    // the end of the connection, after this WebSocket close code (0: none)
    anything,  // as long as the gateway carries on; the test hangs up itself
};

// Says the bad thing on a fresh connection; false when it could not even
// get that far.
using Say = std::function<bool(WebSocketClient&, std::mt19937&)>;

struct Abuse {
    std::string name;
    Answer answer = Answer::anything;
    int code = 0;
    Say say;
};

std::string request(const std::string& method, const std::string& path,
                    const std::string& headers = "", const std::string& body = "") {
    return method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers +
           (body.empty() ? "" : "Content-Length: " + std::to_string(body.size()) + "\r\n") +
           "\r\n" + body;
}

std::string upgrade_request(const std::string& method, const std::string& path,
                            const std::string& key, const std::string& version = "13") {
    return request(method, path,
                   "Upgrade: websocket\r\nConnection: Upgrade\r\n" +
                       (key.empty() ? "" : "Sec-WebSocket-Key: " + key + "\r\n") +
                       "Sec-WebSocket-Version: " + version + "\r\n");
}

// A GET on a connection of its own: the answer's status, head and body.
struct Answered {
    int status = 0;
    std::string head;
    std::string body;
};

// From another loopback address when `source` is given.
Answered get(std::uint16_t port, const std::string& path, const std::string& source = "") {
    auto http = source.empty() ? WebSocketClient::connect_to(port, patience)
                               : WebSocketClient::connect_from(source, port, patience);
    if (!http || !http->send_raw(request("GET", path))) return {};
    const int status = http->read_http_answer(patience);
    return {status, http->http_head(), http->http_body()};
}

// Asks until the answer has this status or the patience is spent.
Answered get_until(std::uint16_t port, const std::string& path, int status) {
    Answered got;
    for (const auto until = SteadyClock::now() + patience; SteadyClock::now() < until;) {
        got = get(port, path);
        if (got.status == status) break;
        std::this_thread::sleep_for(100ms);
    }
    return got;
}

// The bytes as they are. The server may cut them short: that is its answer.
Say bytes(std::string text) {
    return [text](WebSocketClient& ws, std::mt19937&) {
        ws.send_raw(text);
        return true;
    };
}

// A browser's connection, then the frames.
Say after_upgrade(std::function<void(WebSocketClient&, std::mt19937&)> frames) {
    return [frames](WebSocketClient& ws, std::mt19937& rng) {
        if (!ws.upgrade("/live", patience)) return false;
        frames(ws, rng);
        return true;
    };
}

Say frame(std::uint8_t first_byte, std::string payload, bool masked = true) {
    return after_upgrade(
        [=](WebSocketClient& ws, std::mt19937&) { ws.send_frame(first_byte, payload, masked); });
}

std::vector<Abuse> abuses() {
    using enum Answer;
    const std::string key = "dGhlIHNhbXBsZSBub25jZQ==";
    std::string many_headers;
    for (int k = 0; many_headers.size() < 70 * 1024; ++k)
        many_headers += "X-" + std::to_string(k) + ": v\r\n";
    return {
        {"garbage", status, 400,
         [](WebSocketClient& ws, std::mt19937& rng) {
             std::uniform_int_distribution<int> byte(0x80, 0xFF);
             std::string junk(1 + rng() % 2000, '\0');
             for (char& c : junk)
                 c = static_cast<char>(byte(rng));
             ws.send_raw(junk + "\r\n\r\n");
             return true;
         }},
        {"HTTP/0.9", status, 400, bytes("GET /\r\n\r\n")},
        {"no version", status, 400, bytes("GET / \r\n\r\n")},
        {"POST", status, 405, bytes(request("POST", "/save", "", R"({"control":"clear"})"))},
        {"PUT", status, 405, bytes(request("PUT", "/metrics", "", "x"))},
        {"DELETE", status, 405, bytes(request("DELETE", "/live"))},
        {"unknown method", status, 405, bytes(request("BREW", "/"))},
        {"unknown path", status, 404, bytes(request("GET", "/no/such/page?x=1"))},
        {"dot-dot path", status, 404, bytes(request("GET", "/../../etc/passwd"))},
        {"live without upgrade", status, 404, bytes(request("GET", "/live"))},
        {"header line of 200 KiB", status, 431,
         bytes(request("GET", "/", "X-Long: " + std::string(200 * 1024, 'a') + "\r\n"))},
        {"70 KiB of headers", status, 431, bytes(request("GET", "/metrics", many_headers))},
        {"absurd length", anything, 0,
         bytes(request("GET", "/metrics", "Content-Length: 99999999999999999999999\r\n"))},
        {"bad chunk", anything, 0,
         bytes(request("POST", "/", "Transfer-Encoding: chunked\r\n") + "zz\r\nx\r\n")},
        {"truncated", anything, 0, bytes("GET /metrics HTTP/1.1\r\nHost: 127.0")},
        {"connect only", anything, 0, bytes("")},
        {"upgrade without key", status, 400, bytes(upgrade_request("GET", "/live", ""))},
        {"upgrade with a bad key", anything, 0,
         bytes(upgrade_request("GET", "/live", "not base64!"))},
        {"upgrade of version 8", status, 400, bytes(upgrade_request("GET", "/live", key, "8"))},
        {"upgrade of a page", status, 404, bytes(upgrade_request("GET", "/", key))},
        {"upgrade of the figures", status, 404, bytes(upgrade_request("GET", "/metrics", key))},
        {"upgrade by POST", status, 405, bytes(upgrade_request("POST", "/live", key))},
        {"upgrade cut short", anything, 0,
         bytes(upgrade_request("GET", "/live", key).substr(0, 60))},
        {"unmasked", anything, 0, frame(0x81, R"({"control":"disconnect_all"})", false)},
        {"a control without the key", anything, 0,
         after_upgrade([](WebSocketClient& ws, std::mt19937&) {
             ws.send_text(R"({"control":"clear"})");
             ws.send_text(R"({"control":"disconnect_all"})");
         })},
        {"not JSON", anything, 0, frame(0x81, "{{{[[[\"\\")},
        {"binary", closed, 1003, frame(0x82, std::string("\x00\x01\x02", 3))},
        {"reserved opcode", closed, 1002, after_upgrade([](WebSocketClient& ws, std::mt19937& rng) {
             const std::uint8_t reserved[] = {3, 4, 5, 6, 7, 11, 12, 13, 14, 15};
             ws.send_frame(static_cast<std::uint8_t>(0x80 | reserved[rng() % 10]), "x");
         })},
        {"reserved bits", closed, 1002, frame(0xF1, "x")},
        {"length 2^63", closed, 1002, after_upgrade([](WebSocketClient& ws, std::mt19937&) {
             ws.send_frame(0x81, "xyz", true, std::uint64_t{1} << 63);
         })},
        {"frame of 1 MiB", closed, 1009, frame(0x81, std::string(1024 * 1024, 'a'))},
        {"message of 1 MiB in pieces", closed, 1009,
         after_upgrade([](WebSocketClient& ws, std::mt19937&) {
             const std::string piece(4000, 'a');
             ws.send_frame(0x01, piece);
             for (int k = 0; k < 262; ++k)
                 if (!ws.send_frame(0x00, piece)) return;
             ws.send_frame(0x80, piece);
         })},
        {"continuation first", closed, 1002, frame(0x80, "x")},
        {"long ping", closed, 1002, frame(0x89, std::string(200, 'p'))},
        {"not UTF-8", closed, 1007, frame(0x81, "\xFF\xFE\xC0\x80")},
        {"close", closed, 1000, frame(0x88, std::string("\x03\xE8", 2))},
        {"half a frame", anything, 0,
         after_upgrade([](WebSocketClient& ws, std::mt19937&) { ws.send_raw("\x81\xFE\x10"); })},
    };
}

TEST_F(WebPort, AThousandMalformedRequestsAndFramesLeaveTheGatewayServing) {
    start_with_web();
    auto client = connect_client();
    ASSERT_TRUE(client);
    const Bytes before = make_frame(0xFB, 0x31, {0xFB, 0x00});
    write_bus(before);
    ASSERT_TRUE(client->wait_bytes(before.size(), patience));
    // Counted with a browser there, so surely with all a browser needs.
    auto first = browser(WebSocketClient::connect_to(web_port_, patience));
    ASSERT_TRUE(first);
    const std::size_t descriptors = open_descriptors(gateway_->pid());

    const std::vector<Abuse> list = abuses();
    std::map<std::string, std::string> unexpected;  // abuse, what happened instead
    std::vector<std::unique_ptr<WebSocketClient>> held;
    std::mt19937 rng(20240612);
    for (std::size_t i = 0; i < 1000; ++i) {
        const Abuse& abuse = list[i % list.size()];
        auto ws = WebSocketClient::connect_to(web_port_, patience);
        ASSERT_TRUE(ws) << "no connection for \"" << abuse.name << "\" (" << i << ")";
        if (!abuse.say(*ws, rng)) {
            unexpected[abuse.name] = "no WebSocket: " + ws->http_head();
            continue;
        }
        switch (abuse.answer) {
            case Answer::status:
                if (const int status = ws->read_http_answer(patience); status != abuse.code)
                    unexpected[abuse.name] = "status " + std::to_string(status);
                break;
            case Answer::closed:
                if (!ws->wait_closed(patience)) {
                    unexpected[abuse.name] = "still open";
                } else if (ws->close_code() != abuse.code) {
                    unexpected[abuse.name] = "close code " + std::to_string(ws->close_code());
                }
                break;
            case Answer::anything:
                // Some are left open until the end, the rest are dropped at once;
                // fewer than an address may keep waiting.
                if (i % 13 == 0) held.push_back(std::move(ws));
                break;
        }
    }
    EXPECT_TRUE(unexpected.empty()) << [&] {
        std::string text;
        for (const auto& [name, what] : unexpected)
            text += "\n  " + name + ": " + what;
        return text;
    }();
    held.clear();
    first.reset();

    // Every connection ends, with all it held.
    std::size_t now = 0;
    for (const auto until = SteadyClock::now() + patience; SteadyClock::now() < until;) {
        now = open_descriptors(gateway_->pid());
        if (now <= descriptors) break;
        std::this_thread::sleep_for(50ms);
    }
    // One to spare: the browser counted has gone too.
    EXPECT_LE(now, descriptors) << "open files: " << descriptors << " with one browser, " << now
                                << " after all have ended";

    // The bus client is still there, and no browser could clear the rows.
    const Bytes after = make_frame(0xFB, 0x32, {0xFB, 0x00});
    write_bus(after);
    EXPECT_TRUE(client->wait_bytes(before.size() + after.size(), patience));
    EXPECT_EQ(hex_text(client->received()), hex_text(joined({before, after})));
    std::string state;
    auto fresh = browser(WebSocketClient::connect_to(web_port_, patience), &state);
    ASSERT_TRUE(fresh);
    const std::vector<std::string> shown = hex_cells(state);
    ASSERT_GE(shown.size(), 2u) << state;
    EXPECT_EQ(shown[0], hex_text(after));
    EXPECT_EQ(shown[1], hex_text(before));

    auto metrics = WebSocketClient::connect_to(web_port_, patience);
    ASSERT_TRUE(metrics && metrics->send_raw(request("GET", "/metrics")));
    EXPECT_EQ(metrics->read_http_answer(patience), 200) << metrics->http_head();
    EXPECT_NE(metrics->http_body().find("quillon_frames_total"), std::string::npos);
    EXPECT_FALSE(gateway_->wait_exit(0ms)) << gateway_->errors();
}

TEST_F(WebPort, OverTlsSilentConnectionsFromAnotherAddressNeverHoldUpABrowsersHandshake) {
    shorten_time_limits(0.4);
    const Milliseconds handshake_limit = limit(tls_handshake_limit_ms);
    const std::uint16_t tls_port = pick_free_port_pair();
    {
        const ImmediateReuse reuse;
        start_with_web("TLSPort = " + std::to_string(tls_port) + "\r\n");
    }
    // The certificate is made at the start: the page is there once a handshake works.
    ASSERT_TRUE(TlsClient::connect_to(web_port_, patience)) << gateway_->errors();
    std::this_thread::sleep_for(200ms);
    const std::size_t descriptors = open_descriptors(gateway_->pid());
    const std::int64_t memory = resident_kib(gateway_->pid());

    // 200 connections from 127.0.0.2 that never say a word, renewed every four
    // fifths of the handshake's time, while a browser from 127.0.0.1 shakes
    // hands again and again.
    std::vector<int> silent;
    const auto hang_up = [&] {
        for (const int fd : silent)
            ::close(fd);
        silent.clear();
    };
    std::vector<std::int64_t> handshakes_ms;
    const auto begin = SteadyClock::now();
    for (auto renewal = begin; SteadyClock::now() - begin < handshake_limit * 5 / 4;) {
        if (SteadyClock::now() >= renewal) {
            hang_up();
            for (int k = 0; k < 200; ++k) {
                const int fd = connect_from("127.0.0.2", web_port_, true);
                ASSERT_GE(fd, 0);
                silent.push_back(fd);
            }
            renewal += handshake_limit * 4 / 5;
        }
        const auto asked = SteadyClock::now();
        auto tls = TlsClient::connect_to(web_port_, 5s);
        handshakes_ms.push_back(
            tls ? std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - asked)
                      .count()
                : 5000);
        std::this_thread::sleep_for(handshake_limit / 20);
    }
    hang_up();
    ASSERT_GE(handshakes_ms.size(), 10u);
    for (std::size_t k = 0; k < handshakes_ms.size(); ++k)
        EXPECT_LT(handshakes_ms[k], 1000)
            << "handshake " << k << " took " << handshakes_ms[k] << " ms";
    // The page is still served, and nothing of the attack is left.
    auto page = TlsClient::connect_to(web_port_, patience);
    ASSERT_TRUE(page);
    const std::string get = request("GET", "/metrics");
    ASSERT_TRUE(page->send(Bytes(get.begin(), get.end())));
    EXPECT_TRUE(page->wait_bytes(12, patience));
    EXPECT_EQ(std::string(page->received().begin(), page->received().end()).substr(0, 12),
              "HTTP/1.1 200");
    page.reset();
    descriptors_back_to(descriptors);
    EXPECT_LT(resident_kib(gateway_->pid()), memory + 16 * 1024);
}

TEST_F(WebPort, PingsFromWebSocketsThatNeverReadCostLittleAndAtMostTenAreAnsweredASecond) {
    // A pinger cut off is read for the linger's 0.4 s, and a key waited for 2 s.
    shorten_time_limits(0.2);
    {
        const ImmediateReuse reuse;
        start_with_web("AuthKey = " + web_key + "\r\n");
    }
    auto watcher = keyed_browser(WebSocketClient::connect_to(web_port_, patience));
    ASSERT_TRUE(watcher);
    const std::size_t descriptors = open_descriptors(gateway_->pid());
    const std::int64_t memory = resident_kib(gateway_->pid());

    // Four WebSockets from 127.0.0.2 that never give the key and never read,
    // pinging as fast as they can for at most 12 s.
    std::vector<std::unique_ptr<WebSocketClient>> pingers;
    for (int k = 0; k < 4; ++k) {
        pingers.push_back(WebSocketClient::connect_from("127.0.0.2", web_port_, patience, 2048));
        ASSERT_TRUE(pingers.back() && pingers.back()->upgrade("/live", patience));
    }
    const std::string ping(125, 'p');
    std::vector<bool> cut(pingers.size(), false);
    std::int64_t peak = 0;
    const auto begin = SteadyClock::now();
    for (auto row_due = begin; SteadyClock::now() - begin < 12s;) {
        for (std::size_t k = 0; k < pingers.size(); ++k) {
            for (int n = 0; n < 100 && !cut[k]; ++n)
                cut[k] = !pingers[k]->send_frame(0x89, ping);
        }
        peak = std::max(peak, resident_kib(gateway_->pid()));
        if (std::all_of(cut.begin(), cut.end(), [](bool c) { return c; })) break;
        if (SteadyClock::now() >= row_due) {
            ASSERT_TRUE(row_reaches(*watcher, 0x40)) << "the browser with the key got no row";
            row_due += 1s;
        }
    }
    EXPECT_LT(peak, memory + 16 * 1024) << "KiB, from " << memory;
    for (auto& p : pingers)
        EXPECT_TRUE(p->wait_closed(patience)) << "a pinger is still connected";
    EXPECT_TRUE(row_reaches(*watcher, 0x41));
    pingers.clear();
    descriptors_back_to(descriptors);

    // A browser that reads its pongs gets at most ten a second.
    auto reader = keyed_browser(WebSocketClient::connect_to(web_port_, patience));
    ASSERT_TRUE(reader);
    std::size_t pongs = 0;
    const auto count = [&](std::chrono::milliseconds wait) {
        while (auto f = reader->next_frame(wait))
            pongs += f->opcode == 0xA;
    };
    for (const auto start = SteadyClock::now(); SteadyClock::now() - start < 1500ms;) {
        ASSERT_TRUE(reader->send_frame(0x89, "are you there"));
        count(0ms);
        std::this_thread::sleep_for(5ms);
    }
    count(500ms);
    EXPECT_GE(pongs, 10u);
    EXPECT_LE(pongs, 25u);
}

TEST_F(WebPort, GuessedKeysBlockTheAddressAtEveryWebDoorWithAFewRowsOnly) {
    start_with_web("AuthKey = " + web_key + "\r\n");
    // Five wrong WebSocket keys from 127.0.0.2, each refused and closed.
    for (int k = 0; k < 5; ++k) {
        auto ws = WebSocketClient::connect_from("127.0.0.2", web_port_, patience);
        ASSERT_TRUE(ws && ws->upgrade("/live", patience));
        EXPECT_EQ(ws->next_text(patience).value_or(""), R"({"type":"hello","key_required":true})");
        ASSERT_TRUE(ws->send_text(R"({"key":"guess-)" + std::to_string(k) + R"("})"));
        EXPECT_EQ(ws->next_text(patience).value_or(""),
                  R"({"type":"refused","reason":"wrong key"})");
        EXPECT_TRUE(ws->wait_closed(patience));
    }
    // Five wrong bearer keys for the figures from 127.0.0.3.
    const auto figures = [](const std::string& key) {
        return request("GET", "/metrics", "Authorization: Bearer " + key + "\r\n");
    };
    for (int k = 0; k < 5; ++k) {
        auto http = WebSocketClient::connect_from("127.0.0.3", web_port_, patience);
        ASSERT_TRUE(http && http->send_raw(figures("guess-" + std::to_string(k))));
        EXPECT_EQ(http->read_http_answer(patience), 401);
    }
    ASSERT_TRUE(wait_rows([](const std::vector<ShownRow>& shown) {
        return std::count_if(shown.begin(), shown.end(), [](const ShownRow& r) {
                   return r.source.starts_with("blocked 127.0.0.");
               }) == 2;
    })) << gateway_->output();

    // Blocked: even the right key finds every door closed, and no row is written for it.
    for (const std::string source : {"127.0.0.2", "127.0.0.3"}) {
        for (int k = 0; k < 10; ++k) {
            auto live = WebSocketClient::connect_from(source, web_port_, patience);
            ASSERT_TRUE(live);
            EXPECT_FALSE(keyed_browser(std::move(live))) << source << " let in";
            auto http = WebSocketClient::connect_from(source, web_port_, patience);
            ASSERT_TRUE(http);
            http->send_raw(figures(web_key));
            EXPECT_EQ(http->read_http_answer(patience), 0) << http->http_head();
            EXPECT_TRUE(http->wait_closed(patience));
        }
        EXPECT_EQ(get(web_port_, "/healthz", source).status, 0) << source << " was answered";
    }
    // The operator's browser and figures go on.
    EXPECT_TRUE(keyed_browser(WebSocketClient::connect_to(web_port_, patience)));
    auto http = WebSocketClient::connect_to(web_port_, patience);
    ASSERT_TRUE(http && http->send_raw(figures(web_key)));
    ASSERT_EQ(http->read_http_answer(patience), 200);
    EXPECT_NE(http->http_body().find("quillon_refused_total{door=\"websocket\"} 5\n"),
              std::string::npos)
        << http->http_body();
    EXPECT_NE(http->http_body().find("quillon_refused_total{door=\"metrics\"} 5\n"),
              std::string::npos);

    std::this_thread::sleep_for(300ms);
    std::vector<std::string> expected;
    for (const std::string source : {"127.0.0.2", "127.0.0.3"}) {
        for (int k = 0; k < 5; ++k)
            expected.push_back("refused " + source + " (" +
                               (source == "127.0.0.2" ? "web monitor" : "/metrics") +
                               "): wrong key");
        expected.push_back("blocked " + source + " for a minute: 5 refusals within a minute");
    }
    EXPECT_EQ(access_rows(), expected);
    std::size_t lines = 0;
    const std::string errors = gateway_->errors();
    for (const char* what : {"refused 127.0.0.", "blocked 127.0.0."}) {
        for (std::size_t at = 0; (at = errors.find(what, at)) != std::string::npos; ++at)
            ++lines;
    }
    EXPECT_EQ(lines, expected.size()) << errors;
}

TEST_F(WebPort, OnlyThePagesOwnOriginAListedOneOrNoPageAtAllOpenTheLiveView) {
    start_with_web("WebOrigin = https://Dash.Example:8443/\r\n");
    const std::string own = "http://127.0.0.1:" + std::to_string(web_port_);
    const std::vector<std::string> foreign_pages = {
        "http://evil.example", "http://127.0.0.1:" + std::to_string(web_port_ + 1),
        "https://127.0.0.1:" + std::to_string(web_port_), "null"};
    for (const std::string& foreign : foreign_pages) {
        auto ws = WebSocketClient::connect_to(web_port_, patience);
        ASSERT_TRUE(ws);
        EXPECT_FALSE(ws->upgrade("/live", patience, "Origin: " + foreign + "\r\n")) << foreign;
        EXPECT_TRUE(ws->http_head().starts_with("HTTP/1.1 403")) << foreign << "\n"
                                                                 << ws->http_head();
    }
    const std::vector<std::string> allowed = {"Origin: " + own + "\r\n",
                                              "Origin: https://dash.example:8443\r\n", ""};
    for (const std::string& origin : allowed) {
        std::string state;
        EXPECT_TRUE(browser(WebSocketClient::connect_to(web_port_, patience), &state, origin))
            << origin;
    }
}

TEST_F(WebPort, WebSocketsWithoutTheKeyFromManyAddressesNeverLockOutABrowserWithIt) {
    shorten_time_limits(0.2);  // the key's time: 2 s
    start_with_web("AuthKey = " + web_key + "\r\n");
    ASSERT_TRUE(keyed_browser(WebSocketClient::connect_to(web_port_, patience)));
    std::this_thread::sleep_for(200ms);
    const std::size_t descriptors = open_descriptors(gateway_->pid());

    // Sixteen from each of nine addresses, which never give the key.
    std::vector<std::unique_ptr<WebSocketClient>> waiting;
    for (int a = 2; a <= 10; ++a) {
        const std::string source = "127.0.0." + std::to_string(a);
        for (int k = 0; k < 16; ++k) {
            waiting.push_back(WebSocketClient::connect_from(source, web_port_, patience));
            ASSERT_TRUE(waiting.back() && waiting.back()->upgrade("/live", patience)) << source;
        }
        if (a > 2) continue;
        // A seventeenth from one address is turned away.
        auto extra = WebSocketClient::connect_from(source, web_port_, patience);
        ASSERT_TRUE(extra);
        EXPECT_FALSE(extra->upgrade("/live", patience));
        EXPECT_TRUE(extra->http_head().starts_with("HTTP/1.1 429")) << extra->http_head();
    }
    // The operator, with the key, is let in at once and sees the bus.
    auto operator_browser = keyed_browser(WebSocketClient::connect_to(web_port_, patience));
    ASSERT_TRUE(operator_browser);
    EXPECT_TRUE(row_reaches(*operator_browser, 0x42));

    // Those without the key are closed once their time is up, or gave way to newer ones.
    for (auto& ws : waiting) {
        EXPECT_TRUE(ws->wait_closed(2 * patience));
        EXPECT_TRUE(ws->close_code() == 1008 || ws->close_code() == 1013) << ws->close_code();
    }
    waiting.clear();
    operator_browser.reset();
    descriptors_back_to(descriptors);
}

TEST_F(WebPort, SlowRequestHeadsEndTenSecondsAfterTheirFirstByteAndKeepNoOneWaiting) {
    shorten_time_limits(0.15);
    const Milliseconds head_limit = limit(request_head_limit_ms);
    start_with_web();
    ASSERT_TRUE(browser(WebSocketClient::connect_to(web_port_, patience)));
    std::this_thread::sleep_for(200ms);
    const std::size_t descriptors = open_descriptors(gateway_->pid());

    // 272 connections from 17 addresses, each sending its request a byte every
    // fifth of the time a head has.
    const std::string head = request("GET", "/");
    struct Slow {
        int fd = -1;
        std::size_t sent = 0;
        SteadyClock::time_point first;
        std::optional<SteadyClock::duration> lasted;
    };
    std::vector<Slow> slow;
    for (int a = 10; a < 27; ++a) {
        for (int k = 0; k < 16; ++k) {
            Slow s;
            s.fd = connect_from("127.0.0." + std::to_string(a), web_port_);
            ASSERT_GE(s.fd, 0);
            ASSERT_EQ(::send(s.fd, head.data(), 1, MSG_NOSIGNAL), 1);
            s.sent = 1;
            s.first = SteadyClock::now();
            slow.push_back(s);
        }
    }
    // A seventeenth from one address is closed at once (the last address: the
    // first ones gave up their oldest places to the last).
    const int extra = connect_from("127.0.0.26", web_port_);
    ASSERT_GE(extra, 0);
    pollfd p{extra, POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, static_cast<int>(patience.count() * 1000)), 1);
    EXPECT_TRUE(ended(extra));
    ::close(extra);

    // Meanwhile a browser elsewhere gets the page at once.
    auto page = WebSocketClient::connect_to(web_port_, patience);
    ASSERT_TRUE(page && page->send_raw(request("GET", "/")));
    EXPECT_EQ(page->read_http_answer(5s), 200);
    page.reset();

    const auto begin = SteadyClock::now();
    for (auto drip = begin; SteadyClock::now() - begin < head_limit + 6s;) {
        const bool dripping = SteadyClock::now() >= drip;
        std::size_t open = 0;
        for (Slow& s : slow) {
            if (s.lasted) continue;
            if (ended(s.fd)) {
                s.lasted = SteadyClock::now() - s.first;
                continue;
            }
            ++open;
            if (dripping && s.sent < head.size() - 1 &&
                ::send(s.fd, head.data() + s.sent, 1, MSG_NOSIGNAL) == 1)
                ++s.sent;
        }
        if (dripping) drip += head_limit / 5;
        if (open == 0) break;
        std::this_thread::sleep_for(50ms);
    }
    std::size_t early = 0;
    for (const Slow& s : slow) {
        EXPECT_TRUE(s.lasted && *s.lasted < head_limit + 3s) << "a slow request still open";
        early += s.lasted && *s.lasted < head_limit * 4 / 5;
        ::close(s.fd);
    }
    // Only those that gave way to newer ones end before their time.
    EXPECT_LE(early, 20u);
    descriptors_back_to(descriptors);
}

TEST_F(WebPort, PeersThatNeverTakeTheirLastAnswerHoldFewDescriptors) {
    start_with_web();
    ASSERT_TRUE(browser(WebSocketClient::connect_to(web_port_, patience)));
    std::this_thread::sleep_for(200ms);
    const std::size_t descriptors = open_descriptors(gateway_->pid());
    // Each is answered and closing, and neither reads nor closes.
    std::vector<int> silent;
    for (int k = 0; k < 60; ++k) {
        const int fd = connect_from("127.0.0.2", web_port_);
        ASSERT_GE(fd, 0);
        const std::string bad = "BREW / HTTP/1.1\r\nHost: x\r\n\r\n";
        ASSERT_EQ(::send(fd, bad.data(), bad.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bad.size()));
        // Answered (the answer waits unread) before the next one comes.
        pollfd answered{fd, POLLIN, 0};
        ASSERT_EQ(::poll(&answered, 1, 5000), 1);
        silent.push_back(fd);
    }
    // At most 16 closing connections from one address.
    EXPECT_LE(open_descriptors(gateway_->pid()), descriptors + 16 + 1);
    auto page = WebSocketClient::connect_from("127.0.0.2", web_port_, patience);
    ASSERT_TRUE(page && page->send_raw(request("GET", "/")));
    EXPECT_EQ(page->read_http_answer(5s), 200);
    for (const int fd : silent)
        ::close(fd);
    page.reset();
    descriptors_back_to(descriptors);
}

// A browser's Disconnect of a client that is not there: the answer is its
// banner, the window shows no box, and the bus goes on.
TEST_F(WebPort, ARemoteActionsAnswerIsTheBrowsersBannerAndNeverStopsTheWindowsLoop) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    std::ofstream(dir_.path() / "Quillon.ini", std::ios::binary)
        << "IPPort = " << port_ << "\r\nSerialPort = " << bus_->slave_path()
        << ",38400,0,8,1,0\r\nWebPort = " << web_port_ << "\r\nAuthKey = " << web_key << "\r\n";
    gateway_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{QUILLON_PROGRAM, "--listen", "127.0.0.1"}, dir_.path());
    ASSERT_TRUE(gateway_->started());
    auto b = keyed_browser(WebSocketClient::connect_to(web_port_, patience));
    ASSERT_TRUE(b) << gateway_->errors();
    auto client = TcpClient::connect_to(port_, patience);
    ASSERT_TRUE(client && client->send(Bytes(web_key.begin(), web_key.end())));

    ASSERT_TRUE(b->send_text(R"({"control":"disconnect","client":999999})"));
    std::optional<std::string> banner;
    while (auto m = b->next_text(patience)) {
        if (type_of(*m) == "message") {
            banner = std::move(m);
            break;
        }
    }
    ASSERT_TRUE(banner);
    EXPECT_NE(banner->find(R"("text":"No client to remove.")"), std::string::npos) << *banner;
    // The loop still runs: a bus frame reaches the client (once it is let in) and the browser.
    const Bytes frame = make_frame(0xFB, 0x43, {0xFB, 0x00});
    bool arrived = false;
    for (int attempt = 0; attempt < 50 && !arrived; ++attempt) {
        write_bus(frame);
        arrived = client->wait_bytes(frame.size(), 200ms);
    }
    EXPECT_TRUE(arrived);
    EXPECT_TRUE(row_reaches(*b, 0x44));
}

TEST_F(WebPort, HealthzNeedsNoKeyAndSaysOkOnlyWhileTheSerialLinkIsUp) {
    start_with_web("AuthKey = " + web_key + "\r\n");
    const Answered up = get(web_port_, "/healthz");
    EXPECT_EQ(up.status, 200) << up.head;
    EXPECT_EQ(up.body, "ok\n");
    EXPECT_NE(up.head.find("\r\nContent-Type: text/plain"), std::string::npos) << up.head;
    EXPECT_NE(up.head.find("\r\nCache-Control: no-store\r\n"), std::string::npos) << up.head;

    bus_->close();  // the module is unplugged
    const Answered down = get_until(web_port_, "/healthz", 503);
    EXPECT_EQ(down.status, 503) << down.head;
    EXPECT_EQ(down.body, "serial link down: " + bus_->slave_path() + "\n");
}

TEST_F(WebPort, HealthzSaysWhenNoModuleHasBeenFound) {
    std::ofstream(dir_.path() / "Quillon.ini", std::ios::binary)
        << "IPPort = " << port_ << "\r\nSerialPort = auto\r\nWebPort = " << web_port_ << "\r\n";
    start_gateway();
    if (gateway_->errors().find("Velbus interface module found on") != std::string::npos)
        GTEST_SKIP() << "a real module is plugged into this machine";
    const Answered got = get_until(web_port_, "/healthz", 503);
    EXPECT_EQ(got.status, 503) << got.head;
    EXPECT_EQ(got.body, "no Velbus interface module found\n");
}

TEST_F(WebPort, MetricsNameTheVersionTheStartTheBrowsersAndEachClientAddressOnce) {
    const auto now_s = [] {
        return std::chrono::duration_cast<std::chrono::seconds>(
                   std::chrono::system_clock::now().time_since_epoch())
            .count();
    };
    const std::int64_t before = now_s();
    start_with_web();
    std::string state;
    auto watcher = browser(WebSocketClient::connect_to(web_port_, patience), &state);
    ASSERT_TRUE(watcher);
    // The version as the window's title gives it: "Quillon 3.25".
    const std::string title = "\"title\":\"Quillon ";
    const std::size_t version_at = state.find(title);
    ASSERT_NE(version_at, std::string::npos) << state;
    const std::string version =
        state.substr(version_at + title.size(),
                     state.find('"', version_at + title.size()) - version_at - title.size());
    // One program that reconnected and left its old connection open: two ports, one address.
    auto first = connect_client();
    auto second = connect_client();
    ASSERT_TRUE(first && second);

    const Answered m = get(web_port_, "/metrics");
    ASSERT_EQ(m.status, 200) << m.head;
    const std::string build_info = "quillon_build_info{version=\"" + version + "\"} 1\n";
    EXPECT_NE(m.body.find(build_info), std::string::npos) << m.body;
    EXPECT_NE(m.body.find("\nquillon_browsers 1\n"), std::string::npos) << m.body;
    const std::string start = "\nquillon_start_time_seconds ";
    const std::size_t at = m.body.find(start);
    ASSERT_NE(at, std::string::npos) << m.body;
    const std::int64_t started = std::stoll(m.body.substr(at + start.size()));
    EXPECT_GE(started, before - 1);
    EXPECT_LE(started, now_s());
    const std::string series = "\nquillon_client_output_bytes{client=\"127.0.0.1\"} ";
    const std::size_t once = m.body.find(series);
    EXPECT_NE(once, std::string::npos) << m.body;
    EXPECT_EQ(m.body.find(series, once + 1), std::string::npos) << m.body;
    EXPECT_EQ(m.body.find("client=\"127.0.0.1:"), std::string::npos) << m.body;
}

// Whether the process has the web monitor's plugin mapped.
bool holds_web_plugin(pid_t pid) {
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    std::string line;
    while (std::getline(maps, line)) {
        if (line.find("/quillon-web.so") != std::string::npos) return true;
    }
    return false;
}

TEST_F(WebPort, TheWebMonitorsCodeIsLoadedOnlyWhenWebPortIsSet) {
    start_gateway();
    ASSERT_TRUE(connect_client());
    EXPECT_FALSE(holds_web_plugin(gateway_->pid())) << "loaded without WebPort";
    gateway_.reset();

    start_with_web();
    EXPECT_TRUE(holds_web_plugin(gateway_->pid()));
    const Answered got = get(web_port_, "/healthz");
    EXPECT_EQ(got.status, 200) << got.head;
    EXPECT_EQ(got.body, "ok\n");
}

TEST_F(WebPort, AMissingPluginIsAWebMonitorErrorAndTheGatewayServesOn) {
    // The program alone, as when its plugin was not installed beside it.
    const fs::path alone = dir_.path() / "bin" / "quillon";
    fs::create_directories(alone.parent_path());
    fs::copy_file(QUILLON_PROGRAM, alone);
    std::ofstream(dir_.path() / "Quillon.ini", std::ios::binary)
        << "IPPort = " << port_ << "\r\nSerialPort = " << bus_->slave_path()
        << ",38400,0,8,1,0\r\nWebPort = " << web_port_ << "\r\n";
    gateway_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{alone.string(), "--headless", "--log-traffic", "--listen",
                                 "127.0.0.1"},
        dir_.path());
    const std::string expected =
        "Web Monitor Error: Can't start Quillon's web monitor on port " +
        std::to_string(web_port_) + " (its plugin " +
        (fs::canonical(dir_.path()) / "lib/quillon/quillon-web.so").string() + " can't be loaded: ";
    ASSERT_TRUE(gateway_->wait_errors(
        [&](const std::string& e) { return e.find(expected) != std::string::npos; }, patience))
        << gateway_->errors();
    EXPECT_NE(gateway_->errors().find("): the gateway runs without it"), std::string::npos)
        << gateway_->errors();

    auto client = connect_client();
    ASSERT_TRUE(client);
    const Bytes frame = make_frame(0xFB, 0x21, {0xFB, 0x00});
    write_bus(frame);
    EXPECT_TRUE(client->wait_bytes(frame.size(), patience));
    // The client servers listened before the web monitor was tried: nothing listens on its port.
    EXPECT_EQ(WebSocketClient::connect_to(web_port_, 0ms), nullptr)
        << "something listens on the web port";
}

}  // namespace
}  // namespace quillon::integration
