#include "platform/web/web_outlet.hpp"

#include <utility>

#include "platform/qt/qt_network.hpp"
#include "platform/qt/tls_configuration.hpp"

namespace quillon {

WebOutlet::WebOutlet(WebParts parts) : parts_(std::move(parts)) {}

WebOutlet::~WebOutlet() = default;

OutletStart WebOutlet::open(const OutletOpening& opening) {
    server_.reset();
    std::optional<QSslConfiguration> tls;
    if (opening.tls) {
        tls = tls_server_configuration(*opening.tls);
        if (!tls) return {false, "its TLS files can't be read"};
    }
    WebServer::Options o = parts_.options;
    o.key = opening.key;
    o.origins = opening.origins;
    // Counted by the gateway with every other door's refusals, as the network's event.
    QtNetwork& network = parts_.network;
    o.blocked = [&network](const QHostAddress& address) { return network.blocked(address); };
    o.refused = [&network](Door door, RefusalReason reason, const QHostAddress& address,
                           quint16 port) { network.report_refusal(door, reason, address, port); };
    auto server = std::make_unique<WebServer>(parts_.view, parts_.events, std::move(o));
    if (!server->listen_on(opening.addresses, opening.port, tls)) return {};
    server_ = std::move(server);
    return {true, {}};
}

void WebOutlet::close() {
    server_.reset();
}

void WebOutlet::set_key(const std::string& key) {
    if (server_) server_->set_key(key);
}

void WebOutlet::reply(std::int32_t request, const OutletReply& reply) {
    if (server_) server_->reply(request, reply);
}

}  // namespace quillon
