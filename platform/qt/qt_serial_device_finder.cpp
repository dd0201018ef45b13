#include "platform/qt/qt_serial_device_finder.hpp"

#include <QSerialPortInfo>
#include <algorithm>

namespace quillon {

std::vector<std::string> QtSerialDeviceFinder::interface_devices() {
    std::vector<std::string> devices;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        if (info.hasVendorIdentifier() && info.hasProductIdentifier() &&
            is_interface_module(info.vendorIdentifier(), info.productIdentifier()))
            devices.push_back(info.systemLocation().toStdString());
    }
    // Qt lists them in no promised order; the first one must stay the first.
    std::sort(devices.begin(), devices.end());
    return devices;
}

}  // namespace quillon
