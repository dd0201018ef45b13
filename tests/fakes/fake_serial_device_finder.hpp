#pragma once

#include <string>
#include <vector>

#include "bus/serial_device_finder.hpp"

namespace quillon::testing {

// The interface modules plugged in, as the test lists them.
class FakeSerialDeviceFinder : public SerialDeviceFinder {
  public:
    std::vector<std::string> devices;

    std::vector<std::string> interface_devices() override { return devices; }
};

}  // namespace quillon::testing
