// A web monitor connection's request heads, in any pieces: the reader must
// give the same heads and the same verdict however the bytes are cut, never
// hold more than a head may have, and hand on only heads that keep the rules
// (a token for a method, a path, HTTP/1.0 or 1.1, lower-case names, values
// without line ends). The upgrade and origin checks take what it hands on.
//
// Input: the first byte picks the piece sizes; the rest are the bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_input.hpp"
#include "platform/web/http_request.hpp"

namespace {

using namespace quillon;
using namespace quillon::fuzzing;

// Heads as text, and the verdict that ended the reading (0: none).
struct Outcome {
    std::vector<std::string> heads;
    int bad = 0;
    bool operator==(const Outcome&) const = default;
};

std::string describe(const RequestHead& h) {
    std::string text = h.method + ' ' + h.target + ' ' + std::to_string(h.minor_version) + '\n';
    for (const auto& [name, value] : h.fields)
        text += name + ':' + value + '\n';
    return text + (h.has_body ? "body" : "");
}

void check_head(const RequestHead& h) {
    check(!h.method.empty() && h.method.find(' ') == std::string::npos);
    check(!h.target.empty() && h.target.front() == '/');
    check(h.minor_version == 0 || h.minor_version == 1);
    check(h.fields.size() <= max_request_fields);
    for (const auto& [name, value] : h.fields) {
        check(!name.empty());
        for (const char c : name)
            check(!(c >= 'A' && c <= 'Z') && c != ':' && c != ' ');
        check(value.find_first_of("\r\n") == std::string::npos);
        if (const auto origin = normal_origin(value)) check(normal_origin(*origin) == origin);
    }
    if (h.minor_version == 1) check(h.field_count("host") == 1);
    const UpgradeProblem problem = upgrade_problem(h);
    if (problem == UpgradeProblem::none) {
        check(asks_for_websocket(h));
        check(h.field("sec-websocket-key")->size() == 24);
    }
    const std::vector<std::string> listed = {"https://dash.example:8443", "http://[::1]:80/"};
    const bool plain = origin_allowed(h, false, listed);
    if (h.field_count("origin") == 0) check(plain && origin_allowed(h, true, listed));
}

// Reads the bytes as the server does: never more than the reader has room for.
Outcome read_all(std::string_view bytes, Input* pieces) {
    Outcome out;
    RequestHeadReader reader;
    for (;;) {
        const std::size_t room = reader.room();
        std::size_t take = room;
        if (pieces != nullptr) take = std::min<std::size_t>(room, 1 + pieces->next() % 64);
        take = std::min(take, bytes.size());
        check(take <= room);
        const HeadRead r = reader.add(bytes.substr(0, take));
        bytes.remove_prefix(take);
        if (r.status == HeadRead::Status::bad) {
            check(r.http_status == 400 || r.http_status == 431 || r.http_status == 505);
            out.bad = r.http_status;
            return out;
        }
        if (r.status == HeadRead::Status::complete) {
            check_head(r.head);
            out.heads.push_back(describe(r.head));
            continue;
        }
        check(reader.room() > 0);
        if (bytes.empty()) return out;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    Input pieces{data, 1};
    std::vector<std::uint8_t> seeds(bytes.begin(), bytes.end());
    Input varied{seeds.data(), seeds.size(), data[0] % (seeds.empty() ? 1 : seeds.size())};
    const Outcome whole = read_all(bytes, nullptr);
    check(read_all(bytes, &pieces) == whole);
    check(read_all(bytes, &varied) == whole);
    (void)normal_origin(bytes);
    return 0;
}
