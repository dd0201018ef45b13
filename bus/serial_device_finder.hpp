#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quillon {

// The port name that asks for the interface module to be looked for.
inline constexpr std::string_view search_port_name = "auto";

// Whether a USB device is one of the Velbus USB interface modules.
constexpr bool is_interface_module(std::uint16_t vendor, std::uint16_t product) {
    return vendor == 0x10CF &&
           (product == 0x0B1B || product == 0x0516 || product == 0x0517 || product == 0x0518);
}

// Lists the serial devices that are interface modules.
class SerialDeviceFinder {
  public:
    virtual ~SerialDeviceFinder() = default;
    // Their device paths, in the same order from one call to the next.
    virtual std::vector<std::string> interface_devices() = 0;
};

}  // namespace quillon
