#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillon {

// A request head may hold this much, its empty line included, and this many
// header fields; past either it is answered 431 and the connection closed.
inline constexpr std::size_t max_request_head_bytes = 16 * 1024;
inline constexpr std::size_t max_request_fields = 100;

// One request head, read strictly: HTTP/1.0 or 1.1, lines ended by CR LF,
// nothing folded, every field with a name.
struct RequestHead {
    std::string method;
    std::string target;  // as sent: a path, perhaps a query
    int minor_version = 1;
    // Names in lower case, values without the blanks around them, in order.
    std::vector<std::pair<std::string, std::string>> fields;
    bool has_body = false;  // a Content-Length above 0 or a Transfer-Encoding

    std::string_view path() const;
    // The first field of that (lower-case) name, and how many there are.
    const std::string* field(std::string_view name) const;
    std::size_t field_count(std::string_view name) const;
    // Whether a comma-separated field lists the token (without regard to case).
    bool lists(std::string_view name, std::string_view token) const;
    // Whether the connection may carry another request after this one's answer.
    bool keep_alive() const;
};

struct HeadRead {
    enum class Status : std::uint8_t { incomplete, complete, bad };
    Status status = Status::incomplete;
    int http_status = 0;  // with bad: 400, 431 or 505
    RequestHead head;     // with complete
};

// The bytes of a connection's requests, one head at a time. What follows a
// head (the next request, or a WebSocket's first frames) stays for the next
// read or for take_rest().
class RequestHeadReader {
  public:
    // Takes more bytes (at most what a head may hold is kept) and reads on:
    // a head as soon as it is whole, "bad" as soon as it cannot become one.
    HeadRead add(std::string_view bytes);
    // Room for more bytes before a head would be too long.
    std::size_t room() const;
    bool empty() const { return buffer_.empty(); }
    std::string take_rest();

  private:
    std::string buffer_;
    std::size_t scanned_ = 0;  // bytes checked for line ends so far
};

// A WebSocket upgrade as RFC 6455 wants it: "Upgrade: websocket",
// "Connection: Upgrade", version 13 and a key of 16 bytes in base64.
enum class UpgradeProblem : std::uint8_t { none, not_upgrade, bad_version, bad_key };
bool asks_for_websocket(const RequestHead& head);
UpgradeProblem upgrade_problem(const RequestHead& head);

// "scheme://host[:port]" in lower case without the scheme's default port;
// nothing when the text is no http or https origin. One slash after it is
// forgiven, as people write origins in settings.
std::optional<std::string> normal_origin(std::string_view origin);

// A page may open the live view from its own origin (this connection's
// scheme and the request's Host), from one listed, or from no page at all
// (no Origin: a program, not a browser).
bool origin_allowed(const RequestHead& head, bool encrypted,
                    const std::vector<std::string>& listed);

}  // namespace quillon
