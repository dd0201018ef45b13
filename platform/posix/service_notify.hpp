#pragma once

#include <string_view>

namespace quillon {

// Tells the service manager how the service is doing ("READY=1",
// "STOPPING=1", ...): one datagram to the socket named by NOTIFY_SOCKET.
// Nothing happens when the variable is not set (not started as a notify
// service). False when the datagram could not be sent.
[[nodiscard]] bool notify_service_manager(std::string_view state);

}  // namespace quillon
