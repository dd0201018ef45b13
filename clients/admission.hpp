#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/connection_handle.hpp"
#include "clients/network.hpp"
#include "clients/refusal_table.hpp"

namespace quillon {

// A connection has this long to send the whole key.
inline constexpr std::int64_t key_wait_limit_ms = 5000;

// Some clients end the key with a CR, LF or CR LF; it is dropped, not cut as
// a bad frame.
enum class KeyLineEnd : std::uint8_t { none, may_follow, after_cr };
// Whether `given` is the key. Takes as long whatever the first difference and
// whatever the length given, so that the time of a refusal tells nothing
// about the key.
bool same_key(std::string_view given, std::string_view key);

// How many of the first bytes read after the key are its line end; moves the state on.
std::size_t key_line_end_length(KeyLineEnd& state, std::span<const std::uint8_t> bytes);

// The authorisation key that every TCP client, plain or TLS, sends as its
// very first bytes, and the connections that have not sent it yet. Until its
// key has come, a connection is no client: nothing goes to it or from it.
class Admission {
  public:
    // What became of a connection waiting for its key.
    struct Outcome {
        enum class Kind { waiting, admitted, refused } kind = Kind::waiting;
        ConnectionHandle handle = 0;
        Refusal refusal;  // who, at which door, and why (the door and peer always)
    };

    // An empty key lets every connection in at once.
    void set_key(std::string key) { key_ = std::move(key); }
    // key_wait_limit_ms unless a test run shortens it.
    void set_key_wait_limit_ms(std::int64_t ms) { key_wait_ms_ = ms; }
    bool required() const { return !key_.empty(); }

    // A new connection from this peer at this door, to wait for its key.
    void begin(ConnectionHandle handle, Door door, std::string address, std::uint16_t port,
               std::int64_t now_ms);
    bool waiting(ConnectionHandle handle) const { return pending_.count(handle) != 0; }

    // Reads no more than the key still lacks, and judges it once it is whole,
    // every byte compared whatever the first difference.
    Outcome read_key(ConnectionHandle handle, Network& network);
    // The peer left before its key was whole: a refusal when it had sent
    // something, nothing at all when it had not.
    [[nodiscard]] std::optional<Outcome> closed(ConnectionHandle handle);
    // The connections whose key did not come in time, refused.
    std::vector<Outcome> expire(std::int64_t now_ms);
    // When the first wait runs out; "never" when nobody waits.
    std::int64_t next_due_ms() const;
    // The server was restarted: the waiting connections went with it.
    void forget_waiting() { pending_.clear(); }

    // Whether a datagram's content is the key, a CR, LF or CR LF after it allowed.
    bool is_key(std::string_view content) const;

  private:
    struct Waiting {
        Door door = Door::tcp;
        std::string address;
        std::uint16_t port = 0;
        std::int64_t since_ms = 0;
        std::string received;
    };
    static Outcome outcome(ConnectionHandle handle, const Waiting& w);
    static Outcome refuse(ConnectionHandle handle, const Waiting& w, RefusalReason reason);

    std::string key_;
    std::int64_t key_wait_ms_ = key_wait_limit_ms;
    std::map<ConnectionHandle, Waiting> pending_;
};

}  // namespace quillon
