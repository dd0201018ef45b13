#include "mqtt_broker.hpp"

#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <fstream>
#include <thread>

#include "loopback.hpp"

namespace quillon::integration {
namespace {

using namespace std::chrono_literals;

constexpr const char* broker_program = "/usr/sbin/mosquitto";
constexpr const char* password_program = "/usr/bin/mosquitto_passwd";

template <auto free_function>
struct Freer {
    template <typename T>
    void operator()(T* p) const {
        free_function(p);
    }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY_free>>;
using CertificatePtr = std::unique_ptr<X509, Freer<X509_free>>;

KeyPtr make_key() {
    return KeyPtr(EVP_EC_gen("P-256"));
}

bool add_extension(X509* certificate, X509* issuer, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    if (extension == nullptr) return false;
    const bool added = X509_add_ext(certificate, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    return added;
}

// A certificate for `key` named `name`, signed by the issuer, or by the key
// itself when there is none (the CA).
CertificatePtr make_certificate(EVP_PKEY* key, const char* name, X509* issuer,
                                EVP_PKEY* issuer_key) {
    CertificatePtr certificate(X509_new());
    BIGNUM* serial = BN_new();
    const bool made =
        certificate && serial != nullptr &&
        X509_set_version(certificate.get(), X509_VERSION_3) == 1 &&
        BN_rand(serial, 64, BN_RAND_TOP_ONE, BN_RAND_BOTTOM_ANY) == 1 &&
        BN_to_ASN1_INTEGER(serial, X509_get_serialNumber(certificate.get())) != nullptr &&
        // A minute back, so a clock that reads a little behind still accepts it.
        X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -60) != nullptr &&
        X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 24 * 3600) != nullptr &&
        X509_set_pubkey(certificate.get(), key) == 1 &&
        X509_NAME_add_entry_by_txt(X509_get_subject_name(certificate.get()), "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>(name), -1, -1, 0) == 1 &&
        X509_set_issuer_name(certificate.get(),
                             X509_get_subject_name(issuer ? issuer : certificate.get())) == 1;
    BN_free(serial);
    if (!made) return nullptr;
    X509* signer = issuer ? issuer : certificate.get();
    const bool extended =
        issuer == nullptr
            ? add_extension(certificate.get(), signer, NID_basic_constraints, "critical,CA:TRUE") &&
                  add_extension(certificate.get(), signer, NID_key_usage,
                                "critical,keyCertSign,cRLSign") &&
                  add_extension(certificate.get(), signer, NID_subject_key_identifier, "hash")
            : add_extension(certificate.get(), signer, NID_basic_constraints, "CA:FALSE") &&
                  add_extension(certificate.get(), signer, NID_subject_alt_name,
                                "DNS:localhost,IP:127.0.0.1") &&
                  add_extension(certificate.get(), signer, NID_ext_key_usage, "serverAuth") &&
                  add_extension(certificate.get(), signer, NID_authority_key_identifier,
                                "keyid:always");
    if (!extended || X509_sign(certificate.get(), issuer_key ? issuer_key : key, EVP_sha256()) <= 0)
        return nullptr;
    return certificate;
}

bool write_pem(const std::filesystem::path& path, X509* certificate, EVP_PKEY* key) {
    FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) return false;
    const bool written =
        certificate ? PEM_write_X509(file, certificate) == 1
                    : PEM_write_PrivateKey(file, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    return std::fclose(file) == 0 && written;
}

// A test CA and a server certificate it signed, as ca.pem, server.pem and
// server.key in the directory.
bool make_test_certificates(const std::filesystem::path& dir) {
    const KeyPtr ca_key = make_key();
    const KeyPtr server_key = make_key();
    if (!ca_key || !server_key) return false;
    const CertificatePtr ca = make_certificate(ca_key.get(), "Quillon test CA", nullptr, nullptr);
    if (!ca) return false;
    const CertificatePtr server =
        make_certificate(server_key.get(), "localhost", ca.get(), ca_key.get());
    return server && write_pem(dir / "ca.pem", ca.get(), nullptr) &&
           write_pem(dir / "server.pem", server.get(), nullptr) &&
           write_pem(dir / "server.key", nullptr, server_key.get());
}

// Run as root, mosquitto would change to its own user, who cannot read the
// test's files; told to be the user it is, it stays.
std::string current_user() {
    const passwd* entry = ::getpwuid(::geteuid());
    return entry != nullptr ? entry->pw_name : "mosquitto";
}

}  // namespace

MqttBroker::MqttBroker(MqttBrokerOptions options) : options_(std::move(options)) {
    if (dir_.path().empty()) {
        setup_error_ = "no temporary directory";
        return;
    }
    if (options_.tls) {
        if (make_test_certificates(dir_.path()))
            ca_file_ = dir_.path() / "ca.pem";
        else
            setup_error_ = "cannot make the test certificates";
    }
    if (!options_.user.empty()) {
        ChildProcess passwd(
            {password_program, "-c", "-b", "passwords", options_.user, options_.password},
            dir_.path());
        if (passwd.wait_exit(10s) != 0)
            setup_error_ = "mosquitto_passwd failed: " + passwd.errors() + passwd.output();
    }
    port_ = pick_free_port_pair();
}

MqttBroker::~MqttBroker() {
    process_.reset();  // kills and reaps it if it still runs
}

bool MqttBroker::write_configuration() {
    std::ofstream conf(dir_.path() / "mosquitto.conf", std::ios::trunc);
    if (options_.keep_sessions) {
        conf << "persistence true\npersistence_location " << dir_.path().string() << "/\n"
             << "queue_qos0_messages true\nmax_queued_messages 10000\n";
    } else {
        conf << "persistence false\n";
    }
    conf << "log_dest stderr\n"
         << "user " << current_user() << "\n"
         << "listener " << port_ << " 127.0.0.1\n";
    if (options_.user.empty()) {
        conf << "allow_anonymous true\n";
    } else {
        conf << "allow_anonymous false\n"
             << "password_file " << (dir_.path() / "passwords").string() << "\n";
    }
    if (options_.tls) {
        conf << "cafile " << ca_file_.string() << "\n"
             << "certfile " << (dir_.path() / "server.pem").string() << "\n"
             << "keyfile " << (dir_.path() / "server.key").string() << "\n";
    }
    conf.close();
    return !conf.fail();
}

bool MqttBroker::launch(std::chrono::steady_clock::time_point deadline) {
    if (port_ == 0 || !write_configuration()) return false;
    process_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{broker_program, "-c", "mosquitto.conf"}, dir_.path());
    if (!process_->started()) return false;
    // It says "running" once every listener is open; the connection proves it is ours.
    for (;;) {
        if (process_->wait_exit(0ms)) return false;
        if (process_->errors().find(" running") != std::string::npos) {
            const int fd = connect_loopback(port_, std::chrono::steady_clock::now());
            if (fd >= 0) {
                ::close(fd);
                return true;
            }
        }
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
}

bool MqttBroker::start(std::chrono::milliseconds patience) {
    if (running()) return true;
    if (!setup_error_.empty()) return false;
    const auto deadline = std::chrono::steady_clock::now() + patience;
    // Until it first runs, a port taken meanwhile by another test run is
    // given up for another; from then on it keeps its port.
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (launch(deadline)) {
            ever_started_ = true;
            return true;
        }
        if (!process_) return false;
        kill_hard();
        const bool port_taken = process_->errors().find("in use") != std::string::npos;
        if (ever_started_ || !port_taken || std::chrono::steady_clock::now() >= deadline)
            return false;
        port_ = pick_free_port_pair();
    }
    return false;
}

void MqttBroker::stop() {
    if (!running()) return;
    process_->send_signal(SIGTERM);
    if (!process_->wait_exit(5s)) kill_hard();
}

void MqttBroker::kill_hard() {
    if (!process_) return;
    process_->send_signal(SIGKILL);
    process_->wait_exit(5s);
}

bool MqttBroker::running() const {
    return process_ && process_->started() && !process_->wait_exit(0ms);
}

std::string MqttBroker::errors() const {
    if (!setup_error_.empty()) return setup_error_;
    return process_ ? process_->errors() : std::string();
}

}  // namespace quillon::integration
