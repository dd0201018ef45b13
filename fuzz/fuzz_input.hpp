#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace quillon::fuzzing {

// The fuzzer's bytes, read one at a time as choices; 0 once they run out.
struct Input {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t at = 0;
    bool empty() const { return at >= size; }
    std::uint8_t next() { return at < size ? data[at++] : 0; }
};

// A broken promise ends the run, so that the fuzzer keeps the input.
inline void check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace quillon::fuzzing
