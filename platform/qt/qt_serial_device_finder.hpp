#pragma once

#include <string>
#include <vector>

#include "bus/serial_device_finder.hpp"

namespace quillon {

// The interface modules among the serial devices that Qt sees, in the order
// of their paths.
class QtSerialDeviceFinder : public SerialDeviceFinder {
  public:
    std::vector<std::string> interface_devices() override;
};

}  // namespace quillon
