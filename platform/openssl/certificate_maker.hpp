#pragma once

#include <string>

namespace quillon {

// Makes a self-signed certificate and its private key as PEM files: a P-256
// key, valid for ten years from now, its subject and issuer the host name
// (also as the subject's alternative DNS name). The key file is readable by
// its owner only. Returns false, with `error` saying what failed, when either
// file cannot be made; neither file is left half written.
[[nodiscard]] bool make_self_signed_certificate(const std::string& certificate_path,
                                                const std::string& key_path,
                                                const std::string& host_name, std::string& error);

// The SHA-256 fingerprint of a PEM certificate's DER form, as colon-separated
// upper-case hex pairs ("AB:CD:..."); empty when the file holds no certificate.
std::string certificate_fingerprint(const std::string& certificate_path);

// The machine's host name; "localhost" when it cannot be had.
std::string machine_host_name();

}  // namespace quillon
