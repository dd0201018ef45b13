#include "platform/qt/tls_configuration.hpp"

#include <QFile>
#include <QSslCertificate>
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
    config.setPeerVerifyMode(QSslSocket::VerifyNone);
    return config;
}

}  // namespace quillon
