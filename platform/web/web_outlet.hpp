#pragma once

#include <memory>
#include <string>

#include "clients/outlet.hpp"
#include "platform/web/web_server.hpp"

namespace quillon {

class QtNetwork;

// What the web monitor works with, all of it the program's: the view the
// browsers get, the loop's queue for what they do and ask, and the network
// whose refusal table counts their refusals. `options` holds a test's
// smaller bounds; the key and the origins come with each opening.
struct WebParts {
    WebMonitorView& view;
    OperatorEventQueue& events;
    QtNetwork& network;
    WebServer::Options options{};
};

// The web monitor as the gateway's outlet: a WebServer made at each opening.
class WebOutlet : public Outlet {
  public:
    explicit WebOutlet(WebParts parts);
    ~WebOutlet() override;

    OutletStart open(const OutletOpening& opening) override;
    void close() override;
    void set_key(const std::string& key) override;
    void reply(std::int32_t request, const OutletReply& reply) override;

  private:
    WebParts parts_;
    std::unique_ptr<WebServer> server_;
};

}  // namespace quillon
