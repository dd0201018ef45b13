#include "platform/openssl/tls_files.hpp"

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <memory>

namespace quillon {
namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace

TlsFilesProblem check_tls_files(const std::string& certificate_path, const std::string& key_path) {
    const File cert_file(std::fopen(certificate_path.c_str(), "rb"));
    if (!cert_file) return TlsFilesProblem::certificate_unreadable;
    const std::unique_ptr<X509, decltype(&X509_free)> certificate(
        PEM_read_X509(cert_file.get(), nullptr, nullptr, nullptr), &X509_free);
    if (!certificate) return TlsFilesProblem::certificate_unreadable;

    const File key_file(std::fopen(key_path.c_str(), "rb"));
    if (!key_file) return TlsFilesProblem::key_unreadable;
    const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        PEM_read_PrivateKey(key_file.get(), nullptr, nullptr, nullptr), &EVP_PKEY_free);
    if (!key) return TlsFilesProblem::key_unreadable;

    return X509_check_private_key(certificate.get(), key.get()) == 1
               ? TlsFilesProblem::none
               : TlsFilesProblem::key_mismatch;
}

}  // namespace quillon
