#include "websocket_client.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <thread>
#include <utility>

namespace quillon::integration {
namespace {

using SteadyClock = std::chrono::steady_clock;

std::string base64(const unsigned char* bytes, std::size_t size) {
    std::string out(4 * ((size + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes,
                                  static_cast<int>(size));
    out.resize(static_cast<std::size_t>(std::max(n, 0)));
    return out;
}

// What the server must answer to this Sec-WebSocket-Key.
std::string accept_for(const std::string& key) {
    const std::string text = key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(text.data(), text.size(), digest, &size, EVP_sha1(), nullptr);
    return base64(digest, size);
}

std::string lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return text;
}

// The value of a header in an HTTP head, names compared without case.
std::optional<std::string> header_value(const std::string& head, const std::string& name) {
    const std::string wanted = "\r\n" + lower(name) + ":";
    const std::string text = lower(head);
    const std::size_t at = text.find(wanted);
    if (at == std::string::npos) return std::nullopt;
    std::size_t from = at + wanted.size();
    const std::size_t end = head.find("\r\n", from);
    while (from < end && head[from] == ' ')
        ++from;
    return head.substr(from, end - from);
}

}  // namespace

std::unique_ptr<WebSocketClient> WebSocketClient::connect_to(std::uint16_t port,
                                                             std::chrono::milliseconds patience) {
    return connect_narrow(port, patience, 0, 0);
}

std::unique_ptr<WebSocketClient> WebSocketClient::connect_narrow(std::uint16_t port,
                                                                 std::chrono::milliseconds patience,
                                                                 int receive_buffer,
                                                                 int max_segment) {
    const int fd = connect_loopback(port, SteadyClock::now() + patience, [&](int socket) {
        if (receive_buffer > 0)
            ::setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
        if (max_segment > 0)
            ::setsockopt(socket, IPPROTO_TCP, TCP_MAXSEG, &max_segment, sizeof max_segment);
    });
    return fd < 0 ? nullptr : std::unique_ptr<WebSocketClient>(new WebSocketClient(fd));
}

std::unique_ptr<WebSocketClient> WebSocketClient::connect_from(const std::string& source,
                                                               std::uint16_t port,
                                                               std::chrono::milliseconds patience,
                                                               int receive_buffer) {
    const int fd = connect_loopback(port, SteadyClock::now() + patience, [&](int socket) {
        if (receive_buffer > 0)
            ::setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        ::inet_pton(AF_INET, source.c_str(), &local.sin_addr);
        // The port is picked at connect, for this peer: thousands of short
        // connections from one address do not run out of ports.
        const int late_port = 1;
        ::setsockopt(socket, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &late_port, sizeof late_port);
        ::bind(socket, reinterpret_cast<const sockaddr*>(&local), sizeof local);
    });
    return fd < 0 ? nullptr : std::unique_ptr<WebSocketClient>(new WebSocketClient(fd));
}

WebSocketClient::WebSocketClient(int fd) : fd_(fd), rng_(std::random_device{}()) {}

WebSocketClient::~WebSocketClient() {
    close();
}

void WebSocketClient::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool WebSocketClient::send_raw(std::string_view bytes) {
    while (!bytes.empty() && fd_ >= 0) {
        const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return bytes.empty();
}

bool WebSocketClient::upgrade(const std::string& path, std::chrono::milliseconds patience,
                              const std::string& more_headers) {
    unsigned char nonce[16];
    for (unsigned char& b : nonce)
        b = static_cast<unsigned char>(rng_() & 0xFFu);
    const std::string key = base64(nonce, sizeof nonce);
    sockaddr_in peer{};
    socklen_t size = sizeof peer;
    ::getpeername(fd_, reinterpret_cast<sockaddr*>(&peer), &size);
    if (!send_raw("GET " + path +
                  " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(ntohs(peer.sin_port)) +
                  "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: " + key +
                  "\r\nSec-WebSocket-Version: 13\r\n" + more_headers + "\r\n"))
        return false;
    return read_http_answer(patience) == 101 &&
           header_value(head_, "Sec-WebSocket-Accept") == accept_for(key);
}

int WebSocketClient::read_http_answer(std::chrono::milliseconds patience) {
    const auto deadline = SteadyClock::now() + patience;
    head_.clear();
    body_.clear();
    const auto text = [this] {
        return std::string_view(reinterpret_cast<const char*>(in_.data()) + taken_, available());
    };
    std::size_t end = std::string_view::npos;
    while ((end = text().find("\r\n\r\n")) == std::string_view::npos) {
        const int left = remaining_ms(deadline);
        if (left == 0 || peer_closed_) return 0;
        read_once(left);
    }
    head_ = std::string(text().substr(0, end + 2));
    taken_ += end + 4;
    const int status =
        head_.starts_with("HTTP/1.") && head_.size() > 12 ? std::atoi(head_.c_str() + 9) : 0;
    // A switch of protocols has no body: WebSocket frames follow.
    const std::optional<std::string> length = header_value(head_, "Content-Length");
    if (status != 101 && length) {
        const auto size = static_cast<std::size_t>(std::strtoull(length->c_str(), nullptr, 10));
        while (available() < size && !peer_closed_) {
            const int left = remaining_ms(deadline);
            if (left == 0) return 0;
            read_once(left);
        }
        if (available() < size) return 0;
        body_ = std::string(text().substr(0, size));
        taken_ += size;
    }
    return status;
}

bool WebSocketClient::send_frame(std::uint8_t first_byte, std::string_view payload, bool masked,
                                 std::optional<std::uint64_t> declared_length) {
    const std::uint64_t length = declared_length.value_or(payload.size());
    const auto mask_bit = static_cast<char>(masked ? 0x80 : 0x00);
    std::string frame(1, static_cast<char>(first_byte));
    if (length < 126) {
        frame += static_cast<char>(mask_bit | static_cast<char>(length));
    } else if (length <= 0xFFFF) {
        frame += static_cast<char>(mask_bit | 126);
        for (int shift = 8; shift >= 0; shift -= 8)
            frame += static_cast<char>((length >> shift) & 0xFFu);
    } else {
        frame += static_cast<char>(mask_bit | 127);
        for (int shift = 56; shift >= 0; shift -= 8)
            frame += static_cast<char>((length >> shift) & 0xFFu);
    }
    char key[4] = {};
    if (masked) {
        for (char& k : key)
            k = static_cast<char>(rng_() & 0xFFu);
        frame.append(key, sizeof key);
    }
    const std::size_t at = frame.size();
    frame.append(payload);
    if (masked) {
        for (std::size_t i = at; i < frame.size(); ++i)
            frame[i] = static_cast<char>(frame[i] ^ key[(i - at) % 4]);
    }
    return send_raw(frame);
}

void WebSocketClient::read_once(int timeout_ms) {
    if (fd_ < 0 || peer_closed_) {
        std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
        return;
    }
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) <= 0) return;
    // What was decoded is dropped before the buffer grows, so that a long
    // stream costs no more than what waits in it.
    if (taken_ > 0 && taken_ >= in_.size() / 2) {
        in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(taken_));
        taken_ = 0;
    }
    std::uint8_t chunk[65536];
    const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n > 0) {
        in_.insert(in_.end(), chunk, chunk + n);
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        peer_closed_ = true;
    }
}

std::optional<WebSocketClient::Frame> WebSocketClient::take_frame() {
    const std::uint8_t* at = in_.data() + taken_;
    const std::size_t have = available();
    if (have < 2) return std::nullopt;
    std::size_t head = 2;
    std::uint64_t length = at[1] & 0x7Fu;
    if (length == 126) {
        head = 4;
        if (have < head) return std::nullopt;
        length = (std::uint64_t{at[2]} << 8) | at[3];
    } else if (length == 127) {
        head = 10;
        if (have < head) return std::nullopt;
        length = 0;
        for (std::size_t i = 2; i < 10; ++i)
            length = (length << 8) | at[i];
    }
    const bool masked = (at[1] & 0x80u) != 0;
    const std::size_t key_at = head;
    if (masked) head += 4;
    if (have < head || have - head < length) return std::nullopt;
    Frame f;
    f.fin = (at[0] & 0x80u) != 0;
    f.opcode = at[0] & 0x0Fu;
    f.payload.assign(reinterpret_cast<const char*>(at + head), static_cast<std::size_t>(length));
    if (masked) {
        for (std::size_t i = 0; i < f.payload.size(); ++i)
            f.payload[i] = static_cast<char>(f.payload[i] ^ static_cast<char>(at[key_at + i % 4]));
    }
    taken_ += head + static_cast<std::size_t>(length);
    if (f.opcode == 8 && f.payload.size() >= 2)
        close_code_ = (static_cast<unsigned char>(f.payload[0]) << 8) |
                      static_cast<unsigned char>(f.payload[1]);
    return f;
}

std::optional<WebSocketClient::Frame> WebSocketClient::next_frame(
    std::chrono::milliseconds patience) {
    const auto deadline = SteadyClock::now() + patience;
    for (;;) {
        if (auto f = take_frame()) return f;
        if (peer_closed_) return std::nullopt;
        const int left = remaining_ms(deadline);
        // With no patience left, one look at what has already come in.
        read_once(left);
        if (left == 0) return take_frame();
    }
}

std::optional<std::string> WebSocketClient::next_text(std::chrono::milliseconds patience) {
    const auto deadline = SteadyClock::now() + patience;
    for (;;) {
        const auto left = std::chrono::milliseconds(remaining_ms(deadline));
        std::optional<Frame> f = next_frame(left);
        if (!f || f->opcode == 8) return std::nullopt;
        if (f->opcode == 9 || f->opcode == 10) continue;
        // Fragments already taken wait here for the rest, however long it takes.
        partial_ += f->payload;
        if (f->fin) return std::exchange(partial_, std::string());
    }
}

bool WebSocketClient::wait_closed(std::chrono::milliseconds patience) {
    const auto deadline = SteadyClock::now() + patience;
    while (!peer_closed_) {
        const int left = remaining_ms(deadline);
        if (left == 0) break;
        read_once(left);
        while (take_frame()) {
        }
    }
    return peer_closed_;
}

}  // namespace quillon::integration
