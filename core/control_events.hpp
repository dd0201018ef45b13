#pragma once

#include "core/gateway.hpp"
#include "core/pass_time.hpp"
#include "ui/operator_input.hpp"

namespace quillon {

// What the operator's use of a control does. The states of the filter, the
// "!" toggle, the filter text, the delay and the debug box are kept here.
void on_control_event(Gateway& gw, const OperatorEvent& event, const PassTime& time);

}  // namespace quillon
