// Whatever a peer sends first to the TLS server, then the end of its stream:
// the server must let it go without a crash, without holding on to it, and
// without taking it for a client (no handshake can finish without answers).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/openssl/certificate_maker.hpp"
#include "platform/qt/event_waiter.hpp"
#include "platform/qt/qt_network.hpp"

namespace {

using namespace quillon;

struct TlsServer {
    std::unique_ptr<QCoreApplication> app;
    std::unique_ptr<EventWaiter> waiter;
    std::unique_ptr<QtNetwork> network;
    std::uint16_t port = 0;
    std::size_t files_at_start = 0;
};

std::size_t open_files() {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}

std::uint16_t free_port() {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(s);
    return ntohs(a.sin_port);
}

TlsServer& server() {
    static TlsServer s = [] {
        TlsServer made;
        static int argc = 1;
        static char name[] = "fuzz_tls_first_bytes";
        static char* argv[] = {name, nullptr};
        made.app = std::make_unique<QCoreApplication>(argc, argv);
        made.waiter = std::make_unique<EventWaiter>();
        made.network = std::make_unique<QtNetwork>(*made.waiter);
        made.network->listen_on({"127.0.0.1"});
        const auto dir = std::filesystem::temp_directory_path() /
                         ("quillon-fuzz-tls-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir);
        const TlsFiles files{(dir / "fuzz.crt").string(), (dir / "fuzz.key").string()};
        std::string error;
        if (!make_self_signed_certificate(files.certificate, files.private_key, "localhost", error))
            std::abort();
        made.port = free_port();
        if (made.network->create_tls_server(quillon::Server::tls, made.port, 100, files) !=
            ServerStart::ok)
            std::abort();
        std::filesystem::remove_all(dir);
        made.files_at_start = open_files();
        return made;
    }();
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    TlsServer& s = server();
    const int peer = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(s.port);
    if (::connect(peer, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) std::abort();
    if (size > 0) ::send(peer, data, size, MSG_NOSIGNAL);
    ::shutdown(peer, SHUT_WR);

    // Until the server lets the peer go: its end of stream, or a reset.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        s.waiter->wait(5);
        for (NetworkEvent e = s.network->poll(); e.code != NetworkEventCode::none;
             e = s.network->poll()) {
            if (e.code == NetworkEventCode::connection) std::abort();
        }
        char buffer[4096];
        const ssize_t n = ::recv(peer, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) break;
        if (std::chrono::steady_clock::now() > deadline) std::abort();  // held on to
    }
    ::close(peer);
    // What the server let go is freed, not kept until it ends.
    s.waiter->wait(0);
    if (open_files() > s.files_at_start + 2) std::abort();
    return 0;
}
