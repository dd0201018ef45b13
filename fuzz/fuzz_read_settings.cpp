// Settings files are written by hand: any bytes at all must read without a
// crash, a hang or undefined behaviour.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/settings.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    const quillon::Settings state = quillon::read_settings(bytes);
    (void)quillon::find_setting(bytes, "SerialModule");

    volatile std::int32_t integer = quillon::settings_integer(bytes);
    volatile float decimal = quillon::settings_decimal(bytes);
    (void)integer;
    (void)decimal;
    return 0;
}
