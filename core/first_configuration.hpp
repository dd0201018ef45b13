#pragma once

#include "ui/operator_input.hpp"

namespace quillon {

struct Gateway;

// Asks for the serial port, the TCP port and the module kind until a port test
// and a serial test both pass, then writes the settings file and takes the
// settings as if they had been read from it. Returns how the dialog ended.
FirstConfigurationAnswer::Action first_configuration(Gateway& gw);

}  // namespace quillon
