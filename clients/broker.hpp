#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillon {

// Where the MQTT broker is: "mqtt://HOST[:PORT]" (1883) or
// "mqtts://HOST[:PORT]" (8883); an IPv6 address goes in brackets.
struct BrokerAddress {
    bool tls = false;
    std::string host;
    std::uint16_t port = 0;
    // "HOST:PORT", as rows and the journal name it.
    std::string text() const;
};
std::optional<BrokerAddress> broker_address(std::string_view url);

struct BrokerMessage {
    std::string topic;
    std::string payload;
    bool retain = false;
};

// What a link to the broker starts with.
struct BrokerOpening {
    BrokerAddress address;
    std::string ca_file;  // empty: the system's certificate authorities
    std::string user;     // empty: none
    std::string password;
    std::string client_id;
    BrokerMessage will;  // what the broker says for the gateway when it is gone
    std::vector<std::string> subscriptions;
};

enum class BrokerEventKind {
    none,
    connected,  // and subscribed
    lost,       // the link ended, or the first try found no broker
    refused,    // the broker, or its certificate, said no to this try
    message,    // a message on a subscribed topic
};

struct BrokerEvent {
    BrokerEventKind kind = BrokerEventKind::none;
    std::string reason;
    BrokerMessage message;
};

// The gateway's link to an MQTT broker. It never blocks the loop: connecting,
// the tries again after a wait that doubles up to a minute, reading and
// writing are done in `service`, when the loop has woken for its socket or
// for `next_due_ms`. What came of it is taken with `poll`.
class BrokerLink {
  public:
    virtual ~BrokerLink() = default;
    // Starts trying; a reason when the link cannot even be set up.
    virtual std::string open(const BrokerOpening& opening) = 0;
    virtual void service(std::int64_t now_ms) = 0;
    virtual BrokerEvent poll() = 0;
    // False when it cannot take the message now: not connected, or the
    // messages handed on have not been written yet.
    virtual bool publish(const BrokerMessage& message) = 0;
    virtual std::int64_t next_due_ms() const = 0;
    // Leaves the broker after a last message (retained "offline"), waiting
    // only briefly for it to be written.
    virtual void close(const BrokerMessage& farewell) = 0;
};

}  // namespace quillon
