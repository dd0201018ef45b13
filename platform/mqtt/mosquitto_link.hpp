#pragma once

#include <memory>

#include "clients/broker.hpp"

namespace quillon {

// A broker link whose socket the loop's wait watches beside its own.
class SocketBrokerLink : public BrokerLink {
  public:
    // -1 while there is none.
    virtual int socket_fd() const = 0;
    virtual bool wants_write() const = 0;
    // Bytes already read from the socket (a TLS record) that `service` has not taken.
    virtual bool has_buffered_input() const = 0;
};

// The link on libmosquitto, driven from the gateway's loop: no thread of its own.
std::unique_ptr<SocketBrokerLink> make_mosquitto_link();

}  // namespace quillon
