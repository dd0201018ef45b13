#pragma once

#include <string>

#include "platform/openssl/tls_files.hpp"

namespace quillon {

// What the TLS plugin beside the programs (PROGRAM_DIR/../lib/quillon/quillon-tls.so)
// offers: the functions of certificate_maker.hpp and tls_files.hpp that need
// libcrypto. The programs call them through the same names; the plugin, and
// libcrypto with it, is loaded at the first call, so that a gateway without
// TLS never loads either.
struct TlsPluginCalls {
    bool (*make_self_signed)(const std::string& certificate_path, const std::string& key_path,
                             const std::string& host_name, std::string& error);
    std::string (*fingerprint)(const std::string& certificate_path);
    TlsFilesProblem (*check)(const std::string& certificate_path, const std::string& key_path);
};

// The name of the plugin's one entry, a function that returns its calls.
inline constexpr const char* tls_plugin_entry = "quillon_tls_calls";

}  // namespace quillon
