#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>

namespace quillon {

// What the web monitor grants its peers: how long, how many, how much.
//
// A request head must be whole within this time of its first byte, in all;
// a connection that sends nothing is let go after the idle time.
inline constexpr std::int64_t request_head_limit_ms = 10000;
inline constexpr std::int64_t http_idle_limit_ms = 30000;
// HTTP connections that are not WebSockets: per address and in all.
inline constexpr std::size_t max_http_per_address = 16;
inline constexpr std::size_t max_http_connections = 256;
// WebSockets per address, admitted or not; those still without the key, in
// all; and admitted browsers.
inline constexpr std::size_t max_websockets_per_address = 16;
inline constexpr std::size_t max_unadmitted = 128;
inline constexpr std::size_t max_browsers = 64;
// A WebSocket has this long to give the key, and may send this much before.
inline constexpr std::int64_t browser_key_limit_ms = 10000;
inline constexpr std::size_t max_unadmitted_input_bytes = 64 * 1024;
// What may wait for a browser (WebServer::Options holds them): past the
// first figure it gets no more changes (the whole state once it has caught
// up below the last); anything that would take it past the second closes it.
inline constexpr std::size_t browser_behind_bytes = 768 * 1024;
inline constexpr std::size_t max_browser_output_bytes = 1024 * 1024;
inline constexpr std::size_t browser_caught_up_bytes = 64 * 1024;
inline constexpr int max_pongs_per_second = 10;
// Connections that have had their last answer and are closing, per address
// and in all; past either, the oldest of them is closed at once.
inline constexpr std::size_t max_closing_per_address = 16;
inline constexpr std::size_t max_closing = 256;

// Places of one kind, per address and in all. A newcomer from an address
// that holds its share is turned away; when every place is taken, the
// address that holds the most gives up its oldest, so that a crowd from a
// few addresses cannot keep anyone else out.
class Places {
  public:
    using Id = std::uint64_t;
    Places(std::size_t per_address, std::size_t total) : per_address_(per_address), total_(total) {}

    struct Taken {
        bool ok = false;
        std::optional<Id> evicted;  // the place given up for it
    };
    Taken take(Id id, const std::string& address, std::int64_t now_ms);
    void leave(Id id);
    bool holds(Id id) const { return members_.count(id) != 0; }
    std::size_t of(const std::string& address) const;
    std::size_t size() const { return members_.size(); }

  private:
    std::size_t per_address_;
    std::size_t total_;
    std::map<Id, std::pair<std::string, std::int64_t>> members_;  // address, since
    std::map<std::string, std::set<std::pair<std::int64_t, Id>>> by_address_;
};

// The web monitor's peers: HTTP connections (until they become WebSockets),
// WebSockets per address, those without the key yet, and the browsers let in.
class BrowserAdmission {
  public:
    using Id = Places::Id;
    enum class Upgrade : std::uint8_t { ok, too_many_from_address, too_many_browsers };

    // A new HTTP connection; its place may cost an older one's.
    Places::Taken connection_opens(Id id, const std::string& address, std::int64_t now_ms);
    // The connection asks to become a WebSocket: with a key it waits for it
    // among the unadmitted (which may cost an older one's place), without
    // one it is a browser at once. Evicted: a WebSocket that gave way.
    Upgrade websocket_opens(Id id, const std::string& address, bool key_required,
                            std::int64_t now_ms, std::optional<Id>& evicted);
    // The key was right: false when every browser's place is taken.
    [[nodiscard]] bool admit(Id id);
    void closes(Id id);

    bool admitted(Id id) const { return admitted_.count(id) != 0; }
    std::size_t http_connections() const { return http_.size(); }
    std::size_t websockets() const { return websocket_address_.size(); }
    std::size_t unadmitted() const { return unadmitted_.size(); }
    std::size_t browsers() const { return admitted_.size(); }
    std::size_t websockets_of(const std::string& address) const;

  private:
    Places http_{max_http_per_address, max_http_connections};
    Places unadmitted_{max_websockets_per_address, max_unadmitted};
    std::map<Id, std::string> websocket_address_;
    std::map<std::string, std::size_t> websockets_per_address_;
    std::set<Id> admitted_;
};

// Pings answered, at most max_pongs_per_second within any second; the rest
// go unanswered, so that a peer that never reads cannot make the gateway
// hold pongs for it.
class PingBudget {
  public:
    [[nodiscard]] bool answer(std::int64_t now_ms);

  private:
    std::array<std::int64_t, max_pongs_per_second> answered_{};  // a ring of the last ones
    std::size_t next_ = 0;
    std::size_t count_ = 0;
};

}  // namespace quillon
