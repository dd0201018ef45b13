#pragma once

#include <QSslConfiguration>
#include <optional>

#include "clients/network.hpp"

namespace quillon {

// A TLS server's configuration from its PEM files: TLS 1.2 or later, peers
// not asked for certificates. None when either file does not read.
[[nodiscard]] std::optional<QSslConfiguration> tls_server_configuration(const TlsFiles& files);

}  // namespace quillon
