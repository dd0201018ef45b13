// The web monitor's plugin: its one entry makes the outlet, on the program's parts.
#include "platform/web/web_outlet.hpp"

extern "C" __attribute__((visibility("default"))) quillon::Outlet* quillon_make_web_outlet(
    quillon::WebParts* parts) {
    return new quillon::WebOutlet(*parts);
}
