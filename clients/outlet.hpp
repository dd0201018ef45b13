#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "clients/network.hpp"

namespace quillon {

// What an outlet opens with: where it listens, over TLS or not, the key its
// visitors must give, and the pages elsewhere it lets in.
struct OutletOpening {
    std::uint16_t port = 0;
    std::vector<std::string> addresses;  // none: every address
    std::optional<TlsFiles> tls;
    std::string key;  // empty: none
    std::vector<std::string> origins;
};

// How opening went; `problem` says why it did not, when more than the port
// itself is to blame (the outlet's code is not installed).
struct OutletStart {
    bool open = false;
    std::string problem;
};

// The gateway's reply to a request from afar: the bytes, and for a saved list
// the file's name.
struct OutletReply {
    std::string body;
    std::string file_name;
};

// A way to watch the gateway from elsewhere (the web monitor), opened and
// closed by the core beside its servers. What its visitors do or ask comes
// to the core as events of the loop's wait, never as calls from inside it; a
// request's event carries its number, which the reply names.
class Outlet {
  public:
    virtual ~Outlet() = default;
    virtual OutletStart open(const OutletOpening& opening) = 0;
    // Closes it and every connection it holds, and drops what it kept for
    // its visitors; an outlet the gateway does not open is closed too.
    virtual void close() = 0;
    // The key for what comes from now on (the settings read again).
    virtual void set_key(const std::string& key) = 0;
    virtual void reply(std::int32_t request, const OutletReply& reply) = 0;
};

}  // namespace quillon
