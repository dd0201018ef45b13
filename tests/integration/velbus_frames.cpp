#include "velbus_frames.hpp"

namespace quillon::integration {

std::string hex_text(std::span<const std::uint8_t> bytes) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    for (std::uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 0x0F];
    }
    return text;
}

Bytes joined(const std::vector<Bytes>& frames) {
    Bytes all;
    for (const Bytes& f : frames)
        all.insert(all.end(), f.begin(), f.end());
    return all;
}

std::vector<FoundFrame> find_frames(std::span<const std::uint8_t> stream) {
    std::vector<FoundFrame> found;
    std::size_t i = 0;
    while (i < stream.size()) {
        if (stream[i] != 0x0F || i + 3 >= stream.size()) {
            ++i;
            continue;
        }
        const std::size_t size = static_cast<std::size_t>(stream[i + 3] & 0x0F) + 6;
        if (i + size > stream.size()) {
            ++i;
            continue;
        }
        const auto candidate = stream.subspan(i, size);
        if (candidate[size - 1] != 0x04 ||
            candidate[size - 2] != checksum_of(candidate, size - 2)) {
            ++i;
            continue;
        }
        found.push_back({Bytes(candidate.begin(), candidate.end()), i + size - 1});
        i += size;
    }
    return found;
}

}  // namespace quillon::integration
