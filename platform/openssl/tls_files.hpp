#pragma once

#include <string>

namespace quillon {

// What is wrong with a TLS server's certificate and key files, if anything.
enum class TlsFilesProblem { none, certificate_unreadable, key_unreadable, key_mismatch };

// Reads both PEM files and checks that the key is the certificate's.
TlsFilesProblem check_tls_files(const std::string& certificate_path, const std::string& key_path);

}  // namespace quillon
