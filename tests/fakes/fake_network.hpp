#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "clients/network.hpp"
#include "tests/fakes/fake_clock.hpp"

namespace quillon::testing {

// A network whose TCP clients and datagram peers the test scripts. Handles
// start at 1 and are never reused.
class FakeNetwork : public Network {
  public:
    struct Peer {
        Server server = Server::tcp;
        std::string address;
        std::uint16_t port = 0;
        bool open = true;
        bool closing = false;  // the peer has closed; told once its bytes are read
        bool closed_by_gateway = false;
        bool reset_by_gateway = false;  // closed with an immediate reset
        bool paused = false;
        bool stalled = false;  // takes nothing: what is sent piles up as pending output
        std::deque<std::uint8_t> incoming;                // TCP bytes not read yet
        std::deque<std::vector<std::uint8_t>> datagrams;  // UDP datagrams not read yet
        std::vector<std::vector<std::uint8_t>> sent;      // each send, as the peer gets it
        std::vector<std::int64_t> sent_at;                // when each send came, on `clock`
        std::size_t pending = 0;

        std::vector<std::uint8_t> received_bytes() const {
            std::vector<std::uint8_t> all;
            for (const auto& s : sent)
                all.insert(all.end(), s.begin(), s.end());
            return all;
        }
        std::vector<std::string> received_lines() const {
            std::vector<std::string> lines;
            for (const auto& s : sent)
                lines.emplace_back(s.begin(), s.end());
            return lines;
        }
    };

    const FakeClock* clock = nullptr;  // stamps the sends when set
    bool initialise_ok = true;
    std::set<std::int64_t> taken_ports;      // ports another program holds
    std::map<Server, std::int64_t> servers;  // open servers and their ports
    std::vector<std::pair<Server, std::int64_t>> server_attempts;
    std::vector<std::string> listen_addresses;
    ServerStart tls_start = ServerStart::ok;  // how a TLS server's start goes
    TlsFiles tls_files;                       // those of the last TLS server
    std::map<ConnectionHandle, Peer> peers;
    std::deque<NetworkEvent> events;
    std::int32_t polls = 0;
    // The addresses the gateway has blocked; connections from them are
    // turned away at the door, as the real doors do.
    std::set<std::string> blocked;

    // --- scripting ---
    ConnectionHandle connect(const std::string& address, std::uint16_t port) {
        const ConnectionHandle h = next_handle_++;
        Peer p;
        p.server = Server::tcp;
        p.address = address;
        p.port = port;
        // A blocked address is turned away at the door, as the real one is.
        if (blocked.count(address) != 0) {
            p.open = false;
            p.closed_by_gateway = true;
            NetworkEvent e;
            e.code = NetworkEventCode::refusal;
            e.reason = RefusalReason::blocked;
            e.address = address;
            e.port = port;
            events.push_back(e);
        } else {
            events.push_back({NetworkEventCode::connection, Server::tcp, h});
        }
        peers[h] = p;
        return h;
    }
    void client_sends(ConnectionHandle h, const std::vector<std::uint8_t>& bytes) {
        auto& in = peers.at(h).incoming;
        in.insert(in.end(), bytes.begin(), bytes.end());
    }
    // As the real network does, what it sent before is read before its
    // disconnection is told.
    void client_closes(ConnectionHandle h) { peers.at(h).closing = true; }
    ConnectionHandle datagram(const std::string& address, std::uint16_t port,
                              const std::string& text) {
        ConnectionHandle h = 0;
        for (auto& [handle, p] : peers) {
            if (p.server == Server::analyzer && p.open && p.address == address && p.port == port)
                h = handle;
        }
        if (h == 0) {
            h = next_handle_++;
            Peer p;
            p.server = Server::analyzer;
            p.address = address;
            p.port = port;
            peers[h] = p;
        }
        peers[h].datagrams.emplace_back(text.begin(), text.end());
        events.push_back({NetworkEventCode::data, Server::analyzer, h});
        return h;
    }
    Peer& peer(ConnectionHandle h) { return peers.at(h); }

    // Whether a poll would report something now.
    bool has_pending() const {
        if (!events.empty()) return true;
        for (const auto& [h, p] : peers) {
            if (p.server == Server::tcp && p.open && !p.paused &&
                (!p.incoming.empty() || p.closing))
                return true;
        }
        return false;
    }

    // --- Network ---
    bool initialise() override { return initialise_ok; }
    bool create_tcp_server(Server server, std::int64_t port, std::int32_t) override {
        server_attempts.emplace_back(server, port);
        if (port < 1 || port > 65535 || taken_ports.count(port) != 0 || port_in_use(port))
            return false;
        servers[server] = port;
        return true;
    }
    void listen_on(const std::vector<std::string>& addresses) override {
        listen_addresses = addresses;
    }
    ServerStart create_tls_server(Server server, std::int64_t port, std::int32_t backlog,
                                  const TlsFiles& files) override {
        tls_files = files;
        return create_tcp_server(server, port, backlog) ? tls_start : ServerStart::unavailable;
    }
    bool create_udp_server(Server server, std::int64_t port) override {
        server_attempts.emplace_back(server, port);
        if (port < 1 || port > 65535 || taken_ports.count(port) != 0) return false;
        servers[server] = port;
        return true;
    }
    ListenFailure last_listen_failure() const override {
        ListenFailure f;
        f.address = "0.0.0.0";
        f.reason = "Address already in use";
        f.in_use = true;
        return f;
    }
    void close_server(Server server) override {
        servers.erase(server);
        for (auto& [h, p] : peers) {
            if (p.server == server && p.open) {
                p.open = false;
                p.closed_by_gateway = true;
            }
        }
    }
    NetworkEvent poll() override {
        ++polls;
        if (!events.empty()) {
            NetworkEvent e = events.front();
            events.pop_front();
            return e;
        }
        // Level-triggered: a connection with unread bytes is reported until they are read.
        for (auto& [h, p] : peers) {
            if (p.server == Server::tcp && p.open && !p.paused && !p.incoming.empty()) {
                return {NetworkEventCode::data, Server::tcp, h};
            }
        }
        for (auto& [h, p] : peers) {
            if (p.server == Server::tcp && p.open && p.closing && !p.paused && p.incoming.empty()) {
                p.open = false;
                return {NetworkEventCode::disconnection, Server::tcp, h};
            }
        }
        return {};
    }
    std::int64_t receive(ConnectionHandle h, std::uint8_t* buffer, std::size_t max) override {
        auto it = peers.find(h);
        if (it == peers.end()) return 0;
        Peer& p = it->second;
        if (p.server == Server::analyzer) {
            if (p.datagrams.empty()) return 0;
            const auto d = p.datagrams.front();
            p.datagrams.pop_front();
            const std::size_t n = std::min(max, d.size());
            std::copy(d.begin(), d.begin() + static_cast<std::ptrdiff_t>(n), buffer);
            return static_cast<std::int64_t>(n);
        }
        std::size_t n = std::min(max, p.incoming.size());
        for (std::size_t i = 0; i < n; ++i) {
            buffer[i] = p.incoming.front();
            p.incoming.pop_front();
        }
        return static_cast<std::int64_t>(n);
    }
    std::size_t send(ConnectionHandle h, const std::uint8_t* bytes, std::size_t count) override {
        auto it = peers.find(h);
        if (it == peers.end() || !it->second.open || count == 0) return 0;
        if (it->second.stalled) {
            it->second.pending += count;
            return it->second.pending;
        }
        it->second.sent.emplace_back(bytes, bytes + count);
        it->second.sent_at.push_back(clock != nullptr ? clock->now : 0);
        return it->second.pending;
    }
    std::size_t pending_output_bytes(ConnectionHandle h) override {
        auto it = peers.find(h);
        return it == peers.end() ? 0 : it->second.pending;
    }
    std::string peer_address(ConnectionHandle h) override {
        auto it = peers.find(h);
        return it == peers.end() ? "0.0.0.0" : it->second.address;
    }
    std::uint16_t peer_port(ConnectionHandle h) override {
        auto it = peers.find(h);
        return it == peers.end() ? 0 : it->second.port;
    }
    void close_connection(ConnectionHandle h) override {
        auto it = peers.find(h);
        if (it == peers.end()) return;
        it->second.open = false;
        it->second.closed_by_gateway = true;
    }
    void reset_connection(ConnectionHandle h) override {
        close_connection(h);
        auto it = peers.find(h);
        if (it != peers.end()) it->second.reset_by_gateway = true;
    }
    void set_reading_paused(ConnectionHandle h, bool paused) override {
        auto it = peers.find(h);
        if (it != peers.end()) it->second.paused = paused;
    }
    void set_blocked(const std::string& address, bool is_blocked) override {
        if (is_blocked) {
            blocked.insert(address);
        } else {
            blocked.erase(address);
        }
    }

  private:
    bool port_in_use(std::int64_t port) const {
        for (const auto& [s, p] : servers) {
            if (p == port) return true;
        }
        return false;
    }
    ConnectionHandle next_handle_ = 1;
};

}  // namespace quillon::testing
