#pragma once

#include <string>

namespace quillon {

// What a person needs to connect to the gateway of a settings file: the Home
// Assistant connection strings with this machine's addresses, the web
// monitor's address, the TLS certificate's fingerprint. `config` and
// `data_dir` as on the command line (empty: the defaults, the service's own
// files when the working directory has no Quillon.ini). Prints to standard
// output; the exit status: 0, or 1 when the settings cannot be read.
int print_connection_info(const std::string& config, const std::string& data_dir);

}  // namespace quillon
