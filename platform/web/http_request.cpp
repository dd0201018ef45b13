#include "platform/web/http_request.hpp"

#include <algorithm>

namespace quillon {
namespace {

constexpr std::size_t max_method_bytes = 32;

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = lower(c);
    return out;
}

bool same_text_any_case(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return lower(x) == lower(y); });
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// RFC 9110's token characters.
bool is_token_char(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || is_digit(c)) return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool is_token(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), is_token_char);
}

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && is_blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back()))
        text.remove_suffix(1);
    return text;
}

// A request line, whole or as far as it has come: 0 while it is (or may
// still become) one, else the status it earns.
int check_request_line(std::string_view line, bool whole) {
    const std::size_t first_space = line.find(' ');
    const std::string_view method = line.substr(0, first_space);
    if (method.size() > max_method_bytes ||
        !std::all_of(method.begin(), method.end(), is_token_char))
        return 400;
    if (first_space == std::string_view::npos) return whole ? 400 : 0;
    if (method.empty()) return 400;
    const std::string_view rest = line.substr(first_space + 1);
    const std::size_t second_space = rest.find(' ');
    const std::string_view target = rest.substr(0, second_space);
    if (!target.empty() && target.front() != '/') return 400;
    for (const char c : target) {
        if (c < 0x21 || c > 0x7E) return 400;
    }
    if (second_space == std::string_view::npos) return whole ? 400 : 0;
    if (target.empty()) return 400;
    const std::string_view version = rest.substr(second_space + 1);
    const std::string_view shape = "HTTP/1.1";
    if (version.size() > shape.size()) return 400;
    for (std::size_t k = 0; k < version.size(); ++k) {
        const bool fits = k == 5 || k == 7 ? is_digit(version[k]) : version[k] == shape[k];
        if (!fits) return 400;
    }
    if (!whole) return 0;
    if (version.size() != shape.size()) return 400;
    return version[5] == '1' && (version[7] == '0' || version[7] == '1') ? 0 : 505;
}

// The head's lines, its empty last line excluded: 0 and the head, or the
// status it earns.
int parse_head(std::string_view text, RequestHead& head) {
    std::size_t at = text.find("\r\n");
    const std::string_view line = text.substr(0, at);
    if (const int status = check_request_line(line, true); status != 0) return status;
    const std::size_t first_space = line.find(' ');
    const std::size_t second_space = line.find(' ', first_space + 1);
    head.method = std::string(line.substr(0, first_space));
    head.target = std::string(line.substr(first_space + 1, second_space - first_space - 1));
    head.minor_version = line.back() - '0';
    for (at += 2; at < text.size();) {
        const std::size_t end = text.find("\r\n", at);
        const std::string_view field = text.substr(at, end - at);
        at = end + 2;
        if (field.empty()) break;
        // Folded lines and blanks before a name are no longer HTTP.
        const std::size_t colon = field.find(':');
        if (colon == std::string_view::npos || !is_token(field.substr(0, colon))) return 400;
        const std::string_view value = trimmed(field.substr(colon + 1));
        for (const char c : value) {
            const auto u = static_cast<unsigned char>(c);
            if ((u < 0x20 && c != '\t') || u == 0x7F) return 400;
        }
        if (head.fields.size() == max_request_fields) return 431;
        head.fields.emplace_back(lower(field.substr(0, colon)), std::string(value));
    }
    const std::size_t hosts = head.field_count("host");
    if (hosts > 1 || (head.minor_version == 1 && hosts == 0)) return 400;
    // A length is digits, the same in every field that gives one.
    const std::string* length = head.field("content-length");
    for (const auto& [name, value] : head.fields) {
        if (name != "content-length") continue;
        if (value.empty() || value.size() > 18 ||
            !std::all_of(value.begin(), value.end(), is_digit) || value != *length)
            return 400;
    }
    head.has_body = (length != nullptr && length->find_first_not_of('0') != std::string::npos) ||
                    head.field("transfer-encoding") != nullptr;
    return 0;
}

bool is_base64_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || is_digit(c) || c == '+' || c == '/';
}

}  // namespace

std::string_view RequestHead::path() const {
    return std::string_view(target).substr(0, target.find('?'));
}

const std::string* RequestHead::field(std::string_view name) const {
    for (const auto& [n, value] : fields) {
        if (n == name) return &value;
    }
    return nullptr;
}

std::size_t RequestHead::field_count(std::string_view name) const {
    return static_cast<std::size_t>(std::count_if(
        fields.begin(), fields.end(), [name](const auto& f) { return f.first == name; }));
}

bool RequestHead::lists(std::string_view name, std::string_view token) const {
    for (const auto& [n, value] : fields) {
        if (n != name) continue;
        std::string_view rest = value;
        while (!rest.empty()) {
            const std::size_t comma = rest.find(',');
            if (same_text_any_case(trimmed(rest.substr(0, comma)), token)) return true;
            rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        }
    }
    return false;
}

bool RequestHead::keep_alive() const {
    return minor_version == 1 && !lists("connection", "close");
}

HeadRead RequestHeadReader::add(std::string_view bytes) {
    buffer_.append(bytes.substr(0, room()));
    // Empty lines before a request are let pass, as RFC 9112 asks.
    std::size_t blank = 0;
    while (buffer_.compare(blank, 2, "\r\n") == 0)
        blank += 2;
    if (blank > 0) {
        buffer_.erase(0, blank);
        scanned_ = scanned_ > blank ? scanned_ - blank : 0;
    }
    HeadRead read;
    for (; scanned_ < buffer_.size(); ++scanned_) {
        const char c = buffer_[scanned_];
        const bool after_cr = scanned_ > 0 && buffer_[scanned_ - 1] == '\r';
        // Lines end in CR LF, and nothing else holds either.
        if (c == '\0' || (c == '\n') != after_cr) {
            read.status = HeadRead::Status::bad;
            read.http_status = 400;
            return read;
        }
        if (c == '\n' && scanned_ >= 3 && buffer_.compare(scanned_ - 3, 4, "\r\n\r\n") == 0) {
            const std::size_t length = scanned_ + 1;
            read.http_status = parse_head(std::string_view(buffer_).substr(0, length), read.head);
            read.status =
                read.http_status == 0 ? HeadRead::Status::complete : HeadRead::Status::bad;
            buffer_.erase(0, length);
            scanned_ = 0;
            return read;
        }
    }
    // Garbage is answered at once, not when its time is up.
    const std::size_t line_end = buffer_.find("\r\n");
    std::string_view line = std::string_view(buffer_).substr(0, line_end);
    // A CR at the end may be the start of the line's end.
    if (line_end == std::string::npos && line.ends_with('\r')) line.remove_suffix(1);
    const int line_status = check_request_line(line, line_end != std::string::npos);
    if (line_status != 0) {
        read.status = HeadRead::Status::bad;
        read.http_status = line_status;
    } else if (buffer_.size() > max_request_head_bytes) {
        read.status = HeadRead::Status::bad;
        read.http_status = 431;
    }
    return read;
}

std::size_t RequestHeadReader::room() const {
    const std::size_t most = max_request_head_bytes + 1;
    return buffer_.size() < most ? most - buffer_.size() : 0;
}

std::string RequestHeadReader::take_rest() {
    scanned_ = 0;
    std::string rest;
    rest.swap(buffer_);
    return rest;
}

bool asks_for_websocket(const RequestHead& head) {
    return head.lists("upgrade", "websocket");
}

UpgradeProblem upgrade_problem(const RequestHead& head) {
    if (!asks_for_websocket(head) || !head.lists("connection", "upgrade"))
        return UpgradeProblem::not_upgrade;
    const std::string* version = head.field("sec-websocket-version");
    if (head.field_count("sec-websocket-version") != 1 || *version != "13")
        return UpgradeProblem::bad_version;
    // Sixteen bytes in base64: 22 characters and two of padding.
    const std::string* key = head.field("sec-websocket-key");
    if (head.field_count("sec-websocket-key") != 1 || key->size() != 24 ||
        !std::all_of(key->begin(), key->begin() + 22, is_base64_char) || !key->ends_with("=="))
        return UpgradeProblem::bad_key;
    return UpgradeProblem::none;
}

std::optional<std::string> normal_origin(std::string_view origin) {
    const std::size_t separator = origin.find("://");
    if (separator == std::string_view::npos) return std::nullopt;
    const std::string scheme = lower(origin.substr(0, separator));
    if (scheme != "http" && scheme != "https") return std::nullopt;
    std::string_view authority = origin.substr(separator + 3);
    if (authority.ends_with('/')) authority.remove_suffix(1);
    for (const char c : authority) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7F || std::string_view("/?#@\\").find(c) != std::string_view::npos)
            return std::nullopt;
    }
    std::string_view host = authority;
    std::string_view port;
    if (authority.starts_with('[')) {
        const std::size_t close = authority.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        host = authority.substr(0, close + 1);
        const std::string_view after = authority.substr(close + 1);
        if (!after.empty() && after.front() != ':') return std::nullopt;
        if (!after.empty()) port = after.substr(1);
    } else if (const std::size_t colon = authority.find(':'); colon != std::string_view::npos) {
        host = authority.substr(0, colon);
        port = authority.substr(colon + 1);
    }
    if (host.empty() || (host.find(':') != std::string_view::npos && !host.starts_with('[')))
        return std::nullopt;
    if (port.size() > 5 || !std::all_of(port.begin(), port.end(), is_digit)) return std::nullopt;
    std::uint32_t number = 0;
    for (const char c : port)
        number = number * 10 + static_cast<std::uint32_t>(c - '0');
    if (number > 65535) return std::nullopt;
    const std::uint32_t usual = scheme == "http" ? 80 : 443;
    std::string out = scheme + "://" + lower(host);
    if (!port.empty() && number != usual) out += ":" + std::to_string(number);
    return out;
}

bool origin_allowed(const RequestHead& head, bool encrypted,
                    const std::vector<std::string>& listed) {
    const std::size_t count = head.field_count("origin");
    if (count == 0) return true;
    if (count > 1) return false;
    const std::optional<std::string> origin = normal_origin(*head.field("origin"));
    if (!origin) return false;
    if (const std::string* host = head.field("host")) {
        if (normal_origin(std::string(encrypted ? "https://" : "http://") + *host) == origin)
            return true;
    }
    return std::any_of(listed.begin(), listed.end(),
                       [&](const std::string& l) { return normal_origin(l) == origin; });
}

}  // namespace quillon
