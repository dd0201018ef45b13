#pragma once

namespace quillon {

struct Gateway;

// What the operator's use of a control does, by control number.
void on_control_event(Gateway& gw, int control_number);

}  // namespace quillon
