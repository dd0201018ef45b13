#include "bus/bus_frame.hpp"

namespace quillon {

std::uint8_t frame_checksum(const std::uint8_t* bytes, int last_index) {
    unsigned sum = 0;
    for (int i = 0; i <= last_index; ++i)
        sum += bytes[i];
    return static_cast<std::uint8_t>((256u - (sum & 0xFFu)) & 0xFFu);
}

std::string hex_byte(int value) {
    static constexpr char digits[] = "0123456789ABCDEF";
    const auto v = static_cast<unsigned>(value) & 0xFFu;
    return std::string{digits[v >> 4], digits[v & 0x0Fu]};
}

std::string hex_dump(const std::uint8_t* bytes, std::size_t count) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out(count * 2, '0');
    for (std::size_t i = 0; i < count; ++i) {
        out[2 * i] = digits[bytes[i] >> 4];
        out[2 * i + 1] = digits[bytes[i] & 0x0F];
    }
    return out;
}

FrameStatus judge_frame(const std::uint8_t* bytes) {
    const int n = bytes[3] & 0x0F;
    if (bytes[5 + n] != BusFrame::end_byte) return FrameStatus::bad_length;
    return frame_checksum(bytes, n + 3) == bytes[4 + n] ? FrameStatus::valid
                                                        : FrameStatus::bad_checksum;
}

CandidateVerdict judge_candidate(std::span<const std::uint8_t> available) {
    CandidateVerdict verdict;
    if (available.size() < BusFrame::header_size) return verdict;
    verdict.size = BusFrame::size_for(available[3]);
    if (available.size() < verdict.size) return verdict;
    verdict.complete = true;
    verdict.status = judge_frame(available.data());
    return verdict;
}

}  // namespace quillon
