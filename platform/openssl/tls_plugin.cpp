// The libcrypto functions, called through the TLS plugin, loaded at the first use.
#include "platform/openssl/tls_plugin.hpp"

#include <dlfcn.h>

#include <filesystem>
#include <system_error>

#include "platform/openssl/certificate_maker.hpp"

namespace quillon {
namespace {

struct Loaded {
    const TlsPluginCalls* calls = nullptr;
    std::string problem;  // why there are none
};

// Beside the program that runs, whichever it is (a test's too).
std::string plugin_path() {
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    return (program.parent_path() / "../lib/quillon/quillon-tls.so").lexically_normal().string();
}

const Loaded& plugin() {
    static const Loaded loaded = [] {
        Loaded l;
        const std::string path = plugin_path();
        void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        const auto entry =
            handle != nullptr
                ? reinterpret_cast<const TlsPluginCalls* (*)()>(::dlsym(handle, tls_plugin_entry))
                : nullptr;
        if (entry == nullptr) {
            const char* error = ::dlerror();
            l.problem = "the TLS plugin " + path +
                        " can't be loaded: " + (error != nullptr ? error : "no entry");
            return l;
        }
        l.calls = entry();
        return l;
    }();
    return loaded;
}

}  // namespace

bool make_self_signed_certificate(const std::string& certificate_path, const std::string& key_path,
                                  const std::string& host_name, std::string& error) {
    const Loaded& p = plugin();
    if (p.calls == nullptr) {
        error = p.problem;
        return false;
    }
    return p.calls->make_self_signed(certificate_path, key_path, host_name, error);
}

std::string certificate_fingerprint(const std::string& certificate_path) {
    const Loaded& p = plugin();
    return p.calls != nullptr ? p.calls->fingerprint(certificate_path) : std::string();
}

TlsFilesProblem check_tls_files(const std::string& certificate_path, const std::string& key_path) {
    const Loaded& p = plugin();
    // Without the plugin nothing can read the certificate.
    return p.calls != nullptr ? p.calls->check(certificate_path, key_path)
                              : TlsFilesProblem::certificate_unreadable;
}

}  // namespace quillon
