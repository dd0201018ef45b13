// The web monitor under load and abuse: a browser that stops reading, and a
// barrage of malformed HTTP requests and WebSocket frames.

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <thread>

#include "gateway_fixture.hpp"
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

std::size_t open_descriptors(pid_t pid) {
    std::error_code error;
    std::size_t count = 0;
    for (fs::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", error), end;
         !error && it != end; it.increment(error))
        ++count;
    return count;
}

class WebPort : public GatewayTest {
  protected:
    void start_with_web() {
        std::ofstream(dir_.path() / "Quillon.ini", std::ios::binary)
            << "IPPort = " << port_ << "\r\nSerialPort = " << bus_->slave_path()
            << ",38400,0,8,1,0\r\nWebPort = " << web_port_ << "\r\n";
        start_gateway();
    }

    // A browser on /live that has read its hello and the state.
    std::unique_ptr<WebSocketClient> browser(std::unique_ptr<WebSocketClient> ws,
                                             std::string* state = nullptr) {
        EXPECT_TRUE(ws) << "no connection to the web port";
        if (!ws) return nullptr;
        EXPECT_TRUE(ws->upgrade("/live", patience)) << ws->http_head();
        const auto hello = ws->next_text(patience);
        EXPECT_EQ(hello.value_or("nothing"), R"({"type":"hello","key_required":false})");
        const auto first = ws->next_text(patience);
        EXPECT_EQ(type_of(first.value_or("")), "state") << first.value_or("nothing");
        if (state != nullptr) *state = first.value_or("");
        return ws;
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

}  // namespace
}  // namespace quillon::integration
