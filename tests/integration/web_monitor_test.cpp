// The web monitor under load: a browser that stops reading.

#include <algorithm>
#include <fstream>

#include "gateway_fixture.hpp"
#include "websocket_client.hpp"

namespace quillon::integration {
namespace {

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

class WebMonitor : public GatewayTest {
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

TEST_F(WebMonitor, ABrowserThatStopsReadingStallsNoOneAndGetsTheStateInsteadOfWhatItMissed) {
    start_with_web();
    auto client = connect_client();
    ASSERT_TRUE(client);
    // It reads its hello and the state, then nothing until the flood is over.
    // Its window is as small as the kernel allows, so that its backlog grows
    // in the gateway and not in the kernels' buffers.
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
    EXPECT_EQ(good_rows, written);

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
    EXPECT_EQ(hex_text(client->received()), hex_text(all));
}

}  // namespace
}  // namespace quillon::integration
