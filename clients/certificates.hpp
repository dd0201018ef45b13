#pragma once

#include <string>

namespace quillon {

// Makes the self-signed certificate that a TLS server uses when the settings
// name none.
class CertificateMaker {
  public:
    virtual ~CertificateMaker() = default;
    // False, with `error` set, when the files cannot be made.
    [[nodiscard]] virtual bool make_self_signed(const std::string& certificate_path,
                                                const std::string& key_path,
                                                std::string& error) = 0;
    // "AB:CD:..." of the certificate's SHA-256; empty when it cannot be read.
    virtual std::string fingerprint(const std::string& certificate_path) = 0;
};

}  // namespace quillon
