// The TLS client itself, against a small OpenSSL echo server that uses a
// self-signed certificate, before any gateway test leans on it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "platform/openssl/certificate_maker.hpp"
#include "temp_dir.hpp"
#include "tls_client.hpp"
#include "velbus_frames.hpp"

namespace quillon::integration {
namespace {

using namespace std::chrono_literals;

struct ContextFree {
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};
struct SocketClose {
    void operator()(int* fd) const {
        if (*fd >= 0) ::close(*fd);
        delete fd;
    }
};

// Accepts one connection, echoes `count` bytes back and ends the session
// with close_notify. Every wait is bounded, so a failing client cannot hang it.
void echo_once(int listener, SSL_CTX* context, std::size_t count) {
    // A client gone early must not take the test program down with SIGPIPE.
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);

    pollfd p{listener, POLLIN, 0};
    if (::poll(&p, 1, 5000) <= 0) return;
    const int fd = ::accept(listener, nullptr, nullptr);
    if (fd < 0) return;
    const timeval patience{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    SSL* ssl = SSL_new(context);
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) == 1) {
        Bytes got(count);
        std::size_t have = 0;
        while (have < count) {
            const int n = SSL_read(ssl, got.data() + have, static_cast<int>(count - have));
            if (n <= 0) break;
            have += static_cast<std::size_t>(n);
        }
        if (have == count) SSL_write(ssl, got.data(), static_cast<int>(count));
        SSL_shutdown(ssl);
    }
    SSL_free(ssl);
    ::close(fd);
}

TEST(TlsClient, ExchangesBytesWithASelfSignedServerAndSeesItsClose) {
    TempDir folder;
    ASSERT_FALSE(folder.path().empty());
    const std::string certificate = (folder.path() / "server.crt").string();
    const std::string key = (folder.path() / "server.key").string();
    std::string error;
    ASSERT_TRUE(make_self_signed_certificate(certificate, key, "localhost", error)) << error;

    std::unique_ptr<SSL_CTX, ContextFree> context(SSL_CTX_new(TLS_server_method()));
    ASSERT_TRUE(context);
    ASSERT_EQ(SSL_CTX_use_certificate_chain_file(context.get(), certificate.c_str()), 1);
    ASSERT_EQ(SSL_CTX_use_PrivateKey_file(context.get(), key.c_str(), SSL_FILETYPE_PEM), 1);

    // A listener on a port the system picks, closed however the test ends.
    const std::unique_ptr<int, SocketClose> listener(
        new int(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)));
    ASSERT_GE(*listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(::bind(*listener, reinterpret_cast<const sockaddr*>(&address), size), 0);
    ASSERT_EQ(::listen(*listener, 1), 0);
    ASSERT_EQ(::getsockname(*listener, reinterpret_cast<sockaddr*>(&address), &size), 0);
    const std::uint16_t port = ntohs(address.sin_port);

    const Bytes frame = make_frame(0xF8, 0x21, {0xFA, 0x01, 0x02});
    std::jthread server(echo_once, *listener, context.get(), frame.size());

    auto client = TlsClient::connect_to(port, 5s);
    ASSERT_NE(client, nullptr);
    EXPECT_NE(client->local_port(), 0);
    ASSERT_TRUE(client->send(frame));
    EXPECT_TRUE(client->wait_bytes(frame.size(), 5s));
    EXPECT_EQ(client->received(), frame);
    EXPECT_TRUE(client->wait_closed(5s));
    EXPECT_TRUE(client->closed_by_peer());
    EXPECT_EQ(client->received(), frame);  // nothing after the close
}

}  // namespace
}  // namespace quillon::integration
