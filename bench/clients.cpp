// The bench's clients of a gateway: plain and TLS TCP clients, browsers on the
// web monitor, and the loop that reads them all with the bus side.
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "bench/bench.hpp"
#include "bench/clock.hpp"
#include "bench/sockets.hpp"

namespace quillon::bench {

// A TLS client's session: the bytes go through memory buffers, so that the
// socket is still read with its kernel receive stamp.
struct TlsSession {
    SSL* ssl = nullptr;
    BIO* in = nullptr;   // what came from the socket, for OpenSSL to decrypt
    BIO* out = nullptr;  // what OpenSSL wants sent
    ~TlsSession() {
        if (ssl != nullptr) SSL_free(ssl);  // the buffers with it
    }
};

namespace {

SSL_CTX* tls_context() {
    static SSL_CTX* context = [] {
        SSL_CTX* c = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION);
        SSL_CTX_set_verify(c, SSL_VERIFY_NONE, nullptr);  // as the home-automation client does
        return c;
    }();
    return context;
}

std::string base64(const unsigned char* bytes, std::size_t count) {
    std::string out(4 * ((count + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes,
                                  static_cast<int>(count));
    out.resize(static_cast<std::size_t>(std::max(n, 0)));
    return out;
}

}  // namespace

void Bench::drop_peers() {
    for (Peer& p : peers_) {
        if (p.fd >= 0) ::close(p.fd);
    }
    peers_.clear();
    for (Browser& b : browsers_) {
        if (b.fd >= 0) ::close(b.fd);
    }
    browsers_.clear();
    browsers_lost_ = 0;
}

int Bench::open_peer_connection(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const sockaddr_in a = loopback(port);
    sockaddr_in self{};
    socklen_t len = sizeof self;
    // A client whose own port is the one it calls connects to itself, not to a gateway.
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&self), &len) != 0 ||
        self.sin_port == a.sin_port) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
    set_nonblocking(fd);
    return fd;
}

bool Bench::connect_peers(std::size_t total) {
    if (tls_ && !peers_.empty() && !peers_.front().tls) drop_peers();  // the start's plain client
    while (peers_.size() < total) {
        int fd = open_peer_connection(tls_ ? tls_port_ : port_);
        // The TLS server opens after the plain one, once its certificate is ready.
        for (const std::int64_t until = now_ns() + 5 * ns_per_s;
             fd < 0 && tls_ && errno == ECONNREFUSED && now_ns() < until;) {
            sleep_ns(ns_per_ms);
            fd = open_peer_connection(tls_port_);
        }
        if (fd < 0) {
            std::fprintf(stderr, "quillon_bench: connect: %s\n", std::strerror(errno));
            return false;
        }
        peers_.push_back(Peer{fd, true, {}, {}});
        if (tls_ && !tls_handshake(peers_.back(), now_ns() + 5 * ns_per_s)) {
            std::fprintf(stderr, "quillon_bench: no TLS session with the gateway\n");
            return false;
        }
    }
    return sync_peers();
}

// Browsers that connect to the web monitor's "/live" and are greeted as a
// browser is, then read everything that comes, as the clients do.
bool Bench::connect_browsers(std::size_t total) {
    if (web_port_ == 0) return false;
    while (browsers_.size() < total) {
        int fd = open_peer_connection(web_port_);
        // The web monitor opens after the clients' port.
        for (const std::int64_t until = now_ns() + 5 * ns_per_s;
             fd < 0 && errno == ECONNREFUSED && now_ns() < until;) {
            sleep_ns(ns_per_ms);
            fd = open_peer_connection(web_port_);
        }
        if (fd < 0) {
            std::fprintf(stderr, "quillon_bench: web monitor connect: %s\n", std::strerror(errno));
            return false;
        }
        browsers_.push_back(Browser{fd, true, {}});
        if (!websocket_handshake(browsers_.back(), now_ns() + 5 * ns_per_s)) {
            std::fprintf(stderr, "quillon_bench: no WebSocket with the web monitor\n");
            return false;
        }
    }
    const bool greeted = pump(now_ns() + 5 * ns_per_s, [this] {
        return std::all_of(browsers_.begin(), browsers_.end(),
                           [](const Browser& b) { return !b.open || b.in.greeted; });
    });
    const bool all = greeted && std::all_of(browsers_.begin(), browsers_.end(),
                                            [](const Browser& b) { return b.open; });
    if (!all) std::fprintf(stderr, "quillon_bench: not every browser was greeted\n");
    put("browsers", static_cast<double>(browsers_.size()));
    return all && alive();
}

// The client's side of the upgrade: a random key, "101" and the key's
// answer back; what follows the answer is already WebSocket frames.
bool Bench::websocket_handshake(Browser& b, std::int64_t deadline_ns) {
    std::array<unsigned char, 16> nonce{};
    std::random_device random;
    for (unsigned char& c : nonce)
        c = static_cast<unsigned char>(random());
    const std::string key = base64(nonce.data(), nonce.size());
    const std::string request =
        "GET /live HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(web_port_) +
        "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Key: " +
        key + "\r\nSec-WebSocket-Version: 13\r\n\r\n";
    if (!write_all(b.fd, reinterpret_cast<const std::uint8_t*>(request.data()), request.size()))
        return false;
    const std::string magic = key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digest_size = 0;
    if (EVP_Digest(magic.data(), magic.size(), digest, &digest_size, EVP_sha1(), nullptr) != 1)
        return false;
    const std::string accept = base64(digest, digest_size);

    std::string response;
    std::size_t end = std::string::npos;
    while ((end = response.find("\r\n\r\n")) == std::string::npos) {
        const std::int64_t left_ms = (deadline_ns - now_ns()) / ns_per_ms;
        if (left_ms <= 0 || response.size() > 16384) return false;
        pollfd w{b.fd, POLLIN, 0};
        if (::poll(&w, 1, static_cast<int>(left_ms)) <= 0) continue;
        char bytes[4096];
        const ssize_t n = ::recv(b.fd, bytes, sizeof bytes, 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return false;
        if (n > 0) response.append(bytes, static_cast<std::size_t>(n));
    }
    std::string head = response.substr(0, end + 2);
    std::transform(head.begin(), head.end(), head.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (head.rfind("http/1.1 101", 0) != 0) return false;
    const std::string field = "\r\nsec-websocket-accept:";
    const std::size_t at = head.find(field);
    if (at == std::string::npos) return false;
    // The answer is base64, whose letters' case counts: taken from the response itself.
    std::string given =
        response.substr(at + field.size(), head.find("\r\n", at + 2) - (at + field.size()));
    given.erase(0, given.find_first_not_of(" \t"));
    given.erase(given.find_last_not_of(" \t") + 1);
    if (given != accept) return false;
    const std::string rest = response.substr(end + 4);
    b.in.feed(reinterpret_cast<const std::uint8_t*>(rest.data()), rest.size());
    return !b.in.broken;
}

void Bench::flush_tls(Peer& p) {
    char b[16384];
    for (int n = BIO_read(p.tls->out, b, sizeof b); n > 0; n = BIO_read(p.tls->out, b, sizeof b))
        write_all(p.fd, reinterpret_cast<const std::uint8_t*>(b), static_cast<std::size_t>(n));
}

bool Bench::tls_handshake(Peer& p, std::int64_t deadline_ns) {
    p.tls = std::make_shared<TlsSession>();
    p.tls->ssl = SSL_new(tls_context());
    p.tls->in = BIO_new(BIO_s_mem());
    p.tls->out = BIO_new(BIO_s_mem());
    SSL_set_bio(p.tls->ssl, p.tls->in, p.tls->out);
    SSL_set_connect_state(p.tls->ssl);
    for (;;) {
        const int r = SSL_do_handshake(p.tls->ssl);
        flush_tls(p);
        if (r == 1) return true;
        if (SSL_get_error(p.tls->ssl, r) != SSL_ERROR_WANT_READ) return false;
        const std::int64_t left_ms = (deadline_ns - now_ns()) / ns_per_ms;
        if (left_ms <= 0) return false;
        pollfd w{p.fd, POLLIN, 0};
        if (::poll(&w, 1, static_cast<int>(left_ms)) <= 0) continue;
        std::uint8_t b[16384];
        const ssize_t n = ::recv(p.fd, b, sizeof b, 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return false;
        if (n > 0) BIO_write(p.tls->in, b, static_cast<int>(n));
    }
}

void Bench::read_master(std::int64_t) {
    for (const PtyWatch::Chunk& c : pty_watch_.take())
        bus_side_.feed(c.bytes.data(), c.bytes.size(), c.t_ns, c.t_ns);
}

void Bench::read_peer(Peer& p, std::int64_t t_ns) {
    std::uint8_t b[4096];
    alignas(cmsghdr) char control[256];
    for (;;) {
        iovec iov{b, sizeof b};
        msghdr m{};
        m.msg_iov = &iov;
        m.msg_iovlen = 1;
        m.msg_control = control;
        m.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(p.fd, &m, 0);
        if (n > 0) {
            // The stamp is that of the last segment read, on the real-time clock.
            std::int64_t stamped = t_ns;
            for (cmsghdr* c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c)) {
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                    timespec ts{};
                    std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
                    const std::int64_t real = std::int64_t{ts.tv_sec} * ns_per_s + ts.tv_nsec;
                    stamped = std::min(t_ns, real - realtime_offset_ns_);
                    ++stamped_reads_;
                }
            }
            if (!p.tls) {
                p.in.feed(b, static_cast<std::size_t>(n), stamped, t_ns);
                continue;
            }
            BIO_write(p.tls->in, b, static_cast<int>(n));
            std::uint8_t plain[16384];
            int got = 0;
            while ((got = SSL_read(p.tls->ssl, plain, sizeof plain)) > 0)
                p.in.feed(plain, static_cast<std::size_t>(got), stamped, t_ns);
            flush_tls(p);
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            p.open = false;
            ++peers_lost_;
        }
        break;
    }
}

void Bench::read_browser(Browser& b) {
    std::uint8_t bytes[16384];
    for (;;) {
        const ssize_t n = ::recv(b.fd, bytes, sizeof bytes, 0);
        if (n > 0) {
            b.in.feed(bytes, static_cast<std::size_t>(n));
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            b.open = false;
            ++browsers_lost_;
        }
        break;
    }
    if (b.open && (b.in.closed || b.in.broken)) {
        b.open = false;
        ++browsers_lost_;
    }
}

// Reads everything that comes until `done` holds or the deadline passes. Data
// is stamped with the moment poll reported it: a bound from above on its arrival.
bool Bench::pump(std::int64_t deadline_ns, const std::function<bool()>& done) {
    for (;;) {
        if (done && done()) return true;
        const std::int64_t left = deadline_ns - now_ns();
        if (left <= 0) return false;
        fds_.clear();
        fds_.push_back({pty_watch_.wake_fd(), POLLIN, 0});
        for (const Peer& p : peers_)
            fds_.push_back({p.open ? p.fd : -1, POLLIN, 0});
        for (const Browser& b : browsers_)
            fds_.push_back({b.open ? b.fd : -1, POLLIN, 0});
        const timespec ts{static_cast<time_t>(left / ns_per_s), static_cast<long>(left % ns_per_s)};
        const int r = ::ppoll(fds_.data(), fds_.size(), &ts, nullptr);
        const std::int64_t t = now_ns();
        if (r == 0) wake_lateness_ms_.push_back(to_ms(t - deadline_ns));
        if (r <= 0) continue;
        timespec real{};
        clock_gettime(CLOCK_REALTIME, &real);
        realtime_offset_ns_ =
            std::int64_t{real.tv_sec} * ns_per_s + real.tv_nsec - now_ns() / 2 - t / 2;
        if (fds_[0].revents != 0) read_master(t);
        for (std::size_t i = 0; i < peers_.size(); ++i) {
            if (fds_[i + 1].revents != 0) read_peer(peers_[i], t);
        }
        for (std::size_t i = 0; i < browsers_.size(); ++i) {
            if (fds_[i + 1 + peers_.size()].revents != 0) read_browser(browsers_[i]);
        }
    }
}

void Bench::clear_arrivals() {
    for (Peer& p : peers_)
        p.in = FrameStream{};
    for (Browser& b : browsers_)
        b.in.rows_by_phase = {};
    bus_side_ = FrameStream{};
}

// Sends bus frames until every client has received one: the gateway then
// knows all of them. What is still on its way is drained and forgotten.
bool Bench::sync_peers() {
    clear_arrivals();
    const auto all_have_one = [this] {
        return std::all_of(peers_.begin(), peers_.end(),
                           [](const Peer& p) { return !p.open || !p.in.arrivals.empty(); });
    };
    const std::int64_t deadline = now_ns() + 15 * ns_per_s;
    bool ok = false;
    while (!ok && now_ns() < deadline) {
        write_bus(make_frame(phase_sync, sync_seq_++));
        ok = pump(now_ns() + 10 * ns_per_ms, all_have_one);
    }
    pump(now_ns() + 100 * ns_per_ms);
    clear_arrivals();
    if (!ok) std::fprintf(stderr, "quillon_bench: not every client was served\n");
    return ok && alive();
}

}  // namespace quillon::bench
