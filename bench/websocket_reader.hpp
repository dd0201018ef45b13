// What a browser reads on the web monitor's WebSocket.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "bench/frames.hpp"

namespace quillon::bench {

// The server's frames (never masked), put together into messages. Row
// messages are looked into for the bench frame each one shows.
struct WebSocketReader {
    std::string pending;  // bytes not yet a whole frame
    std::string message;  // a fragmented message so far
    std::int64_t messages = 0;
    std::int64_t rows = 0;
    std::array<std::int64_t, phase_last - phase_sync + 1> rows_by_phase{};
    bool greeted = false;  // "hello", then "state", as a browser is first sent
    bool closed = false;   // a close frame
    bool broken = false;   // a masked frame, an unknown opcode: no server sends those

    void feed(const std::uint8_t* bytes, std::size_t count);

  private:
    void on_message();
};

}  // namespace quillon::bench
