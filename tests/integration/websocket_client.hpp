#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>

#include "loopback.hpp"

namespace quillon::integration {

// A browser's side of the web monitor, written byte by byte on a plain
// socket, so that a test can also say what no browser would: frames
// unmasked, of any opcode, with lengths that lie, or plain junk.
class WebSocketClient {
  public:
    struct Frame {
        bool fin = true;
        std::uint8_t opcode = 0;  // 1 text, 2 binary, 8 close, 9 ping, 10 pong, 0 continuation
        std::string payload;
    };

    // Connects to 127.0.0.1:port, trying again while the port refuses. Null
    // when no connection was made.
    static std::unique_ptr<WebSocketClient> connect_to(std::uint16_t port,
                                                       std::chrono::milliseconds patience);
    // The same with a small receive buffer and segment size set before
    // connecting: the window offered stays small, and so does the send buffer
    // the server's kernel grows for it, so that what this client does not read
    // piles up in the server itself rather than in the kernels.
    static std::unique_ptr<WebSocketClient> connect_narrow(std::uint16_t port,
                                                           std::chrono::milliseconds patience,
                                                           int receive_buffer, int max_segment);
    // From another loopback address (127.0.0.2, ...), as another machine would.
    static std::unique_ptr<WebSocketClient> connect_from(const std::string& source,
                                                         std::uint16_t port,
                                                         std::chrono::milliseconds how_long,
                                                         int receive_buffer = 0);
    ~WebSocketClient();
    WebSocketClient(const WebSocketClient&) = delete;
    WebSocketClient& operator=(const WebSocketClient&) = delete;

    // Sends the upgrade request for the path, with the Host a browser names
    // and any more header lines ("Origin: ...\r\n"), and reads the answer's
    // head: true on 101 with the Sec-WebSocket-Accept that the key calls for.
    bool upgrade(const std::string& path, std::chrono::milliseconds how_long,
                 const std::string& more_headers = "");

    // Reads until a whole HTTP head has come (its body too, when it names a
    // Content-Length); its status code, or 0 when none came in time.
    int read_http_answer(std::chrono::milliseconds patience);
    const std::string& http_head() const { return head_; }
    const std::string& http_body() const { return body_; }

    bool send_raw(std::string_view bytes);
    // A frame's head as written: first byte (FIN, RSV, opcode), the length it
    // declares (7, 16 or 64 bits), a mask key when masked. The payload, masked
    // with that key, follows; it may be shorter than declared.
    bool send_frame(std::uint8_t first_byte, std::string_view payload, bool masked = true,
                    std::optional<std::uint64_t> declared_length = std::nullopt);
    bool send_text(std::string_view text) { return send_frame(0x81, text); }

    // The next whole frame from the server, or nothing when none comes in
    // time or the connection has ended. Zero patience takes only what has
    // already come in.
    std::optional<Frame> next_frame(std::chrono::milliseconds patience);
    // The next text message (fragments joined, pings skipped), or nothing on
    // a close frame, the end of the connection or when patience runs out.
    std::optional<std::string> next_text(std::chrono::milliseconds patience);
    // Reads until the server ends the connection (end of stream or reset).
    bool wait_closed(std::chrono::milliseconds patience);
    bool closed_by_peer() const { return peer_closed_; }
    // The status code of the close frame the server sent, 0 when none came.
    int close_code() const { return close_code_; }

    void close();

  private:
    explicit WebSocketClient(int fd);
    // One wait of at most timeout_ms for bytes, and one read.
    void read_once(int timeout_ms);
    std::optional<Frame> take_frame();
    std::size_t available() const { return in_.size() - taken_; }

    int fd_ = -1;
    Bytes in_;
    std::size_t taken_ = 0;  // bytes of in_ already decoded
    std::string head_;
    std::string body_;
    std::string partial_;  // a text message's fragments so far
    bool peer_closed_ = false;
    int close_code_ = 0;
    std::mt19937 rng_;
};

}  // namespace quillon::integration
