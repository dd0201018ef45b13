#include "platform/qt/tls_configuration.hpp"

#include <QFile>
#include <QSslCertificate>
#include <QSslCipher>
#include <QSslKey>

namespace quillon {

std::optional<QSslConfiguration> tls_server_configuration(const TlsFiles& files) {
    QFile cert_file(QString::fromStdString(files.certificate));
    QFile key_file(QString::fromStdString(files.private_key));
    if (!cert_file.open(QIODevice::ReadOnly) || !key_file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QSslCertificate certificate(&cert_file, QSsl::Pem);
    const QByteArray key_pem = key_file.readAll();
    QSslKey key(key_pem, QSsl::Ec, QSsl::Pem);
    if (key.isNull()) key = QSslKey(key_pem, QSsl::Rsa, QSsl::Pem);
    if (certificate.isNull() || key.isNull()) return std::nullopt;
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setLocalCertificate(certificate);
    config.setPrivateKey(key);
    config.setProtocol(QSsl::TlsV1_2OrLater);
    // TLS 1.2 with forward secrecy and authenticated encryption only: its CBC
    // suites (SHA-1 and SHA-2 MACs) have a long record of padding attacks.
    // Every TLS 1.3 suite is an AEAD one.
    QList<QSslCipher> suites;
    for (const QSslCipher& c : QSslConfiguration::supportedCiphers()) {
        const QString name = c.name();
        const bool aead_tls12 = name.startsWith(QLatin1String("ECDHE-")) &&
                                (name.contains(QLatin1String("-GCM-")) ||
                                 name.contains(QLatin1String("CHACHA20-POLY1305")));
        if (c.protocol() == QSsl::TlsV1_3 || aead_tls12) suites.append(c);
    }
    config.setCiphers(suites);
    config.setPeerVerifyMode(QSslSocket::VerifyNone);
    return config;
}

}  // namespace quillon
