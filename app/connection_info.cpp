#include "app/connection_info.hpp"

#include <QHostAddress>
#include <QNetworkInterface>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

#include "core/settings.hpp"
#include "platform/openssl/certificate_maker.hpp"

namespace quillon {
namespace {

namespace fs = std::filesystem;

// The service's files, as its unit names them.
const fs::path service_settings = "/etc/quillon/Quillon.ini";
const fs::path service_data = "/var/lib/quillon";

// The addresses others reach this machine by: the Listen addresses when the
// servers are bound to some, else every IPv4 address but the loopback one.
std::vector<std::string> machine_addresses(const Settings& s) {
    std::vector<std::string> found;
    for (const std::string& a : s.listen) {
        const QHostAddress address(QString::fromStdString(a));
        if (!address.isNull() && address != QHostAddress(QHostAddress::Any) &&
            address != QHostAddress(QHostAddress::AnyIPv6))
            found.push_back(address.protocol() == QAbstractSocket::IPv6Protocol ? "[" + a + "]"
                                                                                : a);
    }
    if (!found.empty() || !s.listen.empty()) {
        if (found.empty()) found.push_back("localhost");
        return found;
    }
    for (const QHostAddress& a : QNetworkInterface::allAddresses()) {
        if (a.protocol() == QAbstractSocket::IPv4Protocol && !a.isLoopback())
            found.push_back(a.toString().toStdString());
    }
    if (found.empty()) found.push_back("localhost");
    return found;
}

}  // namespace

int print_connection_info(const std::string& config, const std::string& data_dir) {
    fs::path file = config;
    fs::path data = data_dir;
    std::error_code ignored;
    if (file.empty()) {
        file = settings_file_name;
        if (!fs::exists(file, ignored) && fs::exists(service_settings, ignored))
            file = service_settings;
    }
    file = fs::absolute(file, ignored);
    // The service's settings have their data folder of its own, named or not.
    if (data.empty() && file.lexically_normal() == service_settings) data = service_data;
    if (data.empty()) data = file.parent_path();
    std::ifstream in(file, std::ios::binary);
    if (!in || fs::is_directory(file, ignored)) {
        std::fprintf(stderr, "quillon: can't read the settings file %s: %s\n", file.c_str(),
                     fs::exists(file, ignored) ? "permission denied (try sudo)" : "not found");
        return 1;
    }
    const Settings s = read_settings(
        std::string{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()});

    std::printf("Settings: %s\n", file.c_str());
    const std::vector<std::string> addresses = machine_addresses(s);
    const std::string key = s.auth_key;
    if (!key.empty()) {
        std::printf("Key (AuthKey): %s\n", key.c_str());
    } else {
        std::printf("Key (AuthKey): none, anyone who reaches the ports may use the bus\n");
    }
    for (const std::string& a : addresses) {
        if (s.tls_server())
            std::printf("Home Assistant: tls://%s%s:%d\n", key.empty() ? "" : (key + "@").c_str(),
                        a.c_str(), s.tls_port);
        if (s.plain_server())
            std::printf("Home Assistant: %s%s:%d\n", key.empty() ? "" : (key + "@").c_str(),
                        a.c_str(), s.tcp_port);
    }
    if (s.web_port != 0) {
        for (const std::string& a : addresses)
            std::printf("Web monitor: %s://%s:%d/\n", s.tls_server() ? "https" : "http", a.c_str(),
                        s.web_port);
    }
    if (s.tls_server()) {
        const fs::path certificate = s.tls_certificate.empty()
                                         ? data / "Quillon.crt"
                                         : (fs::path(s.tls_certificate).is_absolute()
                                                ? fs::path(s.tls_certificate)
                                                : file.parent_path() / s.tls_certificate);
        const std::string fingerprint = certificate_fingerprint(certificate.string());
        if (!fingerprint.empty()) {
            std::printf("Certificate SHA-256: %s\n", fingerprint.c_str());
        } else {
            std::printf(
                "Certificate SHA-256: none yet at %s (the gateway makes it when it "
                "starts)\n",
                certificate.c_str());
        }
    }
    if (!s.tls_server() && !s.plain_server()) std::printf("No client server is on.\n");
    return 0;
}

}  // namespace quillon
