#pragma once

#include "core/gateway.hpp"
#include "ui/operator_input.hpp"

namespace quillon {

// Replies through the outlet to a request from afar (an event of kind
// request): the figures, the saved list or the gateway's health, as they
// stand after the wait.
void reply_to_request(Gateway& gw, const OperatorEvent& request);

}  // namespace quillon
