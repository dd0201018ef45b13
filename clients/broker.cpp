#include "clients/broker_outbox.hpp"

#include <charconv>

namespace quillon {

std::string BrokerAddress::text() const {
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::optional<BrokerAddress> broker_address(std::string_view url) {
    BrokerAddress a;
    constexpr std::string_view plain = "mqtt://";
    constexpr std::string_view secure = "mqtts://";
    if (url.substr(0, secure.size()) == secure) {
        a.tls = true;
        url.remove_prefix(secure.size());
    } else if (url.substr(0, plain.size()) == plain) {
        url.remove_prefix(plain.size());
    } else {
        return std::nullopt;
    }
    if (!url.empty() && url.back() == '/') url.remove_suffix(1);
    std::string_view port_text;
    if (!url.empty() && url.front() == '[') {
        const std::size_t close = url.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        a.host = std::string(url.substr(1, close - 1));
        const std::string_view rest = url.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') return std::nullopt;
            port_text = rest.substr(1);
        }
    } else {
        const std::size_t colon = url.find(':');
        a.host = std::string(url.substr(0, colon));
        if (colon != std::string_view::npos) port_text = url.substr(colon + 1);
    }
    if (a.host.empty() || a.host.find_first_of("/@ ") != std::string::npos) return std::nullopt;
    a.port = a.tls ? 8883 : 1883;
    if (!port_text.empty()) {
        unsigned value = 0;
        const auto [end, error] =
            std::from_chars(port_text.data(), port_text.data() + port_text.size(), value);
        if (error != std::errc() || end != port_text.data() + port_text.size() || value == 0 ||
            value > 65535)
            return std::nullopt;
        a.port = static_cast<std::uint16_t>(value);
    }
    return a;
}

void BrokerOutbox::push(BrokerMessage message) {
    if (waiting_.size() == broker_outbox_capacity) {
        waiting_.pop_front();
        ++dropped_;
    }
    waiting_.push_back(std::move(message));
}

void BrokerOutbox::flush(BrokerLink& link) {
    while (!waiting_.empty() && link.publish(waiting_.front()))
        waiting_.pop_front();
}

}  // namespace quillon
