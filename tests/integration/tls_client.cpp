#include "tls_client.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <thread>

namespace quillon::integration {

using SteadyClock = std::chrono::steady_clock;

namespace {

SSL_CTX* client_context() {
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (context == nullptr) return nullptr;
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
    return context;
}

}  // namespace

std::unique_ptr<TlsClient> TlsClient::connect_tls12(std::uint16_t port,
                                                    std::chrono::milliseconds patience,
                                                    const std::string& suites) {
    SSL_CTX* context = client_context();
    if (context == nullptr) return nullptr;
    SSL_CTX_set_max_proto_version(context, TLS1_2_VERSION);
    if (SSL_CTX_set_cipher_list(context, suites.c_str()) != 1) {
        SSL_CTX_free(context);
        return nullptr;
    }
    return connect_with(context, port, patience);
}

std::unique_ptr<TlsClient> TlsClient::connect_to(std::uint16_t port,
                                                 std::chrono::milliseconds patience) {
    SSL_CTX* context = client_context();
    if (context == nullptr) return nullptr;
    return connect_with(context, port, patience);
}

std::unique_ptr<TlsClient> TlsClient::connect_with(SSL_CTX* context, std::uint16_t port,
                                                   std::chrono::milliseconds patience) {
    const auto deadline = SteadyClock::now() + patience;
    const int fd = connect_loopback(port, deadline);
    if (fd < 0) {
        SSL_CTX_free(context);
        return nullptr;
    }
    std::unique_ptr<TlsClient> client(new TlsClient(fd, context));
    if (!client->handshake(deadline)) return nullptr;
    return client;
}

TlsClient::TlsClient(int fd, SSL_CTX* context)
    : fd_(fd), context_(context), local_port_(bound_port(fd)) {}

TlsClient::~TlsClient() {
    close();
    SSL_CTX_free(context_);
}

bool TlsClient::handshake(SteadyClock::time_point deadline) {
    ssl_ = SSL_new(context_);
    network_in_ = BIO_new(BIO_s_mem());
    network_out_ = BIO_new(BIO_s_mem());
    if (ssl_ == nullptr || network_in_ == nullptr || network_out_ == nullptr) {
        BIO_free(network_in_);
        BIO_free(network_out_);
        network_in_ = network_out_ = nullptr;
        return false;
    }
    SSL_set_bio(ssl_, network_in_, network_out_);  // owned by ssl_ from here
    SSL_set_connect_state(ssl_);
    for (;;) {
        const int result = SSL_do_handshake(ssl_);
        if (!flush_out()) return false;
        if (result == 1) return true;
        if (SSL_get_error(ssl_, result) != SSL_ERROR_WANT_READ || socket_ended_) break;
        const int left = remaining_ms(deadline);
        if (left == 0) break;
        receive_once(left);
    }
    ERR_clear_error();
    return false;
}

bool TlsClient::flush_out() {
    char chunk[4096];
    for (;;) {
        const int taken = BIO_read(network_out_, chunk, sizeof chunk);
        if (taken <= 0) return true;
        const char* next = chunk;
        auto left = static_cast<std::size_t>(taken);
        while (left > 0) {
            const ssize_t n = ::send(fd_, next, left, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            next += n;
            left -= static_cast<std::size_t>(n);
        }
    }
}

void TlsClient::receive_once(int timeout_ms) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) <= 0) return;
    char chunk[4096];
    const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n > 0) {
        BIO_write(network_in_, chunk, static_cast<int>(n));
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        socket_ended_ = true;
    }
}

bool TlsClient::decrypt() {
    bool anything = false;
    std::uint8_t chunk[4096];
    for (;;) {
        const int n = SSL_read(ssl_, chunk, sizeof chunk);
        if (n > 0) {
            received_.insert(received_.end(), chunk, chunk + n);
            anything = true;
            continue;
        }
        const int why = SSL_get_error(ssl_, n);
        ERR_clear_error();
        // Reading may have made OpenSSL answer (a key update); a failure to send
        // shows up as the end of the stream on the next read.
        flush_out();
        if (why == SSL_ERROR_WANT_READ && !socket_ended_) return anything;
        // close_notify, a broken record, or the stream's end with nothing whole left.
        peer_closed_ = true;
        return true;
    }
}

void TlsClient::read_once(int timeout_ms) {
    if (ssl_ == nullptr || peer_closed_) {
        std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
        return;
    }
    // Records that came in with the handshake's last bytes are decrypted first.
    if (decrypt()) return;
    receive_once(timeout_ms);
    decrypt();
}

bool TlsClient::send(std::span<const std::uint8_t> bytes) {
    if (ssl_ == nullptr || peer_closed_) return false;
    while (!bytes.empty()) {
        const int size = static_cast<int>(std::min<std::size_t>(bytes.size(), INT_MAX));
        const int n = SSL_write(ssl_, bytes.data(), size);
        if (n <= 0) {
            ERR_clear_error();
            return false;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(n));
        if (!flush_out()) return false;
    }
    return true;
}

void TlsClient::close() {
    if (ssl_ != nullptr) {
        if (!peer_closed_ && SSL_is_init_finished(ssl_)) {
            SSL_shutdown(ssl_);
            flush_out();
        }
        ERR_clear_error();
        SSL_free(ssl_);  // and both memory buffers with it
        ssl_ = nullptr;
        network_in_ = network_out_ = nullptr;
    }
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

}  // namespace quillon::integration
