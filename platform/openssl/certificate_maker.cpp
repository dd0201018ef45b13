#include "platform/openssl/certificate_maker.hpp"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

namespace quillon {
namespace {

template <auto free_function>
struct Freer {
    template <typename T>
    void operator()(T* p) const {
        free_function(p);
    }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY_free>>;
using CertificatePtr = std::unique_ptr<X509, Freer<X509_free>>;
using NumberPtr = std::unique_ptr<BIGNUM, Freer<BN_free>>;
using NamesPtr = std::unique_ptr<GENERAL_NAMES, Freer<GENERAL_NAMES_free>>;
using ConstraintsPtr = std::unique_ptr<BASIC_CONSTRAINTS, Freer<BASIC_CONSTRAINTS_free>>;

constexpr long ten_years_in_days = 3650;

// What OpenSSL said last, after what we were doing.
std::string openssl_failure(const char* doing) {
    std::string text = doing;
    const unsigned long code = ERR_get_error();
    if (code != 0) {
        char reason[256];
        ERR_error_string_n(code, reason, sizeof reason);
        text += ": ";
        text += reason;
    }
    ERR_clear_error();
    return text;
}

std::string system_failure(const char* doing, const std::string& path, int error_number) {
    return std::string(doing) + " " + path + ": " + std::strerror(error_number);
}

bool set_random_serial(X509* certificate) {
    // 127 bits with the top one set: always 16 bytes in DER, always positive.
    NumberPtr number(BN_new());
    if (!number || BN_rand(number.get(), 127, BN_RAND_TOP_ONE, BN_RAND_BOTTOM_ANY) != 1)
        return false;
    return BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(certificate)) != nullptr;
}

bool set_names(X509* certificate, const std::string& host_name) {
    X509_NAME* subject = X509_get_subject_name(certificate);
    const auto* text = reinterpret_cast<const unsigned char*>(host_name.c_str());
    if (X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8, text, -1, -1, 0) != 1)
        return false;
    if (X509_set_issuer_name(certificate, subject) != 1) return false;

    // Built directly rather than parsed from "DNS:..." text, so no host name
    // character can be taken for configuration syntax.
    NamesPtr names(GENERAL_NAMES_new());
    GENERAL_NAME* name = GENERAL_NAME_new();
    ASN1_IA5STRING* dns = ASN1_IA5STRING_new();
    if (!names || name == nullptr || dns == nullptr ||
        ASN1_STRING_set(dns, host_name.data(), static_cast<int>(host_name.size())) != 1) {
        GENERAL_NAME_free(name);
        ASN1_IA5STRING_free(dns);
        return false;
    }
    GENERAL_NAME_set0_value(name, GEN_DNS, dns);
    if (sk_GENERAL_NAME_push(names.get(), name) == 0) {
        GENERAL_NAME_free(name);
        return false;
    }
    return X509_add1_ext_i2d(certificate, NID_subject_alt_name, names.get(), 0,
                             X509V3_ADD_DEFAULT) == 1;
}

bool set_not_a_ca(X509* certificate) {
    ConstraintsPtr constraints(BASIC_CONSTRAINTS_new());
    if (!constraints) return false;
    constraints->ca = 0;
    return X509_add1_ext_i2d(certificate, NID_basic_constraints, constraints.get(), 1,
                             X509V3_ADD_DEFAULT) == 1;
}

CertificatePtr make_certificate(EVP_PKEY* key, const std::string& host_name, std::string& error) {
    CertificatePtr certificate(X509_new());
    if (!certificate || X509_set_version(certificate.get(), X509_VERSION_3) != 1) {
        error = openssl_failure("cannot make a certificate");
        return nullptr;
    }
    if (!set_random_serial(certificate.get())) {
        error = openssl_failure("cannot draw a serial number");
        return nullptr;
    }
    if (X509_gmtime_adj(X509_getm_notBefore(certificate.get()), 0) == nullptr ||
        X509_time_adj_ex(X509_getm_notAfter(certificate.get()), ten_years_in_days, 0, nullptr) ==
            nullptr) {
        error = openssl_failure("cannot set the validity period");
        return nullptr;
    }
    if (X509_set_pubkey(certificate.get(), key) != 1 || !set_names(certificate.get(), host_name) ||
        !set_not_a_ca(certificate.get())) {
        error = openssl_failure("cannot fill in the certificate");
        return nullptr;
    }
    if (X509_sign(certificate.get(), key, EVP_sha256()) <= 0) {
        error = openssl_failure("cannot sign the certificate");
        return nullptr;
    }
    return certificate;
}

// A file written beside its final path under a name of its own, so that
// a failure midway never leaves a half-written file where it is expected.
class PendingFile {
  public:
    explicit PendingFile(std::string final_path) : final_path_(std::move(final_path)) {}
    ~PendingFile() { discard(); }
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    // Creates the file with `mode` from its first moment: a key is never
    // readable by others, not even while it is being written.
    bool create(mode_t mode, std::string& error) {
        for (int attempt = 0; attempt < 8; ++attempt) {
            unsigned char tag[6];
            if (RAND_bytes(tag, sizeof tag) != 1) {
                error = openssl_failure("cannot draw a temporary name");
                return false;
            }
            std::string path = final_path_ + ".tmp-";
            for (unsigned char c : tag) {
                static constexpr char digits[] = "0123456789abcdef";
                path += digits[c >> 4];
                path += digits[c & 0xf];
            }
            const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
            if (fd < 0 && errno == EEXIST) continue;
            if (fd < 0) {
                error = system_failure("cannot write", final_path_, errno);
                return false;
            }
            file_ = ::fdopen(fd, "w");
            if (file_ == nullptr) {
                error = system_failure("cannot write", final_path_, errno);
                ::close(fd);
                ::unlink(path.c_str());
                return false;
            }
            temporary_path_ = std::move(path);
            return true;
        }
        error = "cannot find a free temporary name beside " + final_path_;
        return false;
    }

    FILE* stream() const { return file_; }

    // Flushes the contents to the disk and closes the file.
    bool finish(std::string& error) {
        const bool flushed = std::fflush(file_) == 0 && ::fsync(::fileno(file_)) == 0;
        const int flush_error = errno;
        const bool closed = std::fclose(file_) == 0;
        const int close_error = errno;
        file_ = nullptr;
        if (!flushed || !closed) {
            error =
                system_failure("cannot write", final_path_, flushed ? close_error : flush_error);
            return false;
        }
        return true;
    }

    bool put_in_place(std::string& error) {
        if (::rename(temporary_path_.c_str(), final_path_.c_str()) != 0) {
            error = system_failure("cannot replace", final_path_, errno);
            return false;
        }
        temporary_path_.clear();
        return true;
    }

  private:
    void discard() {
        if (file_ != nullptr) std::fclose(file_);
        file_ = nullptr;
        if (!temporary_path_.empty()) ::unlink(temporary_path_.c_str());
        temporary_path_.clear();
    }

    std::string final_path_;
    std::string temporary_path_;
    FILE* file_ = nullptr;
};

}  // namespace

bool make_self_signed_certificate(const std::string& certificate_path, const std::string& key_path,
                                  const std::string& host_name, std::string& error) {
    if (host_name.empty()) {
        error = "no host name to make a certificate for";
        return false;
    }
    KeyPtr key(EVP_EC_gen("P-256"));
    if (!key) {
        error = openssl_failure("cannot make a P-256 key");
        return false;
    }
    CertificatePtr certificate = make_certificate(key.get(), host_name, error);
    if (!certificate) return false;

    // Both written in full before either is put in place.
    PendingFile key_file(key_path);
    if (!key_file.create(S_IRUSR | S_IWUSR, error)) return false;
    if (PEM_write_PrivateKey(key_file.stream(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) !=
        1) {
        error = openssl_failure(("cannot write " + key_path).c_str());
        return false;
    }
    if (!key_file.finish(error)) return false;

    PendingFile certificate_file(certificate_path);
    if (!certificate_file.create(S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH, error)) return false;
    if (PEM_write_X509(certificate_file.stream(), certificate.get()) != 1) {
        error = openssl_failure(("cannot write " + certificate_path).c_str());
        return false;
    }
    if (!certificate_file.finish(error)) return false;

    if (!key_file.put_in_place(error)) return false;
    if (!certificate_file.put_in_place(error)) {
        // A new key beside an old certificate would not match it.
        ::unlink(key_path.c_str());
        return false;
    }
    return true;
}

std::string certificate_fingerprint(const std::string& certificate_path) {
    std::unique_ptr<std::FILE, Freer<std::fclose>> file(std::fopen(certificate_path.c_str(), "rb"));
    if (!file) return {};
    const CertificatePtr certificate(PEM_read_X509(file.get(), nullptr, nullptr, nullptr));
    ERR_clear_error();
    if (!certificate) return {};
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (X509_digest(certificate.get(), EVP_sha256(), digest, &size) != 1) return {};
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned int i = 0; i < size; ++i) {
        if (i != 0) text += ':';
        text += hex[digest[i] >> 4];
        text += hex[digest[i] & 0x0F];
    }
    return text;
}

}  // namespace quillon
