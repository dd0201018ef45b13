// The self-signed certificate maker, its files read back by Qt's TLS classes
// and by OpenSSL, as the gateway and its clients will read them.
#include <stdlib.h>
#include <sys/stat.h>

#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <QDateTime>
#include <QFile>
#include <QSslCertificate>
#include <QSslCertificateExtension>
#include <QSslKey>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <system_error>

#include "platform/openssl/certificate_maker.hpp"

namespace quillon {
namespace {

namespace fs = std::filesystem;

class CertificateFolder : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "quillon-cert-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        folder_ = pattern;
        certificate_path_ = (folder_ / "quillon.crt").string();
        key_path_ = (folder_ / "quillon.key").string();
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }

    std::set<std::string> files_in(const fs::path& folder) const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder))
            names.insert(entry.path().filename().string());
        return names;
    }

    fs::path folder_;
    std::string certificate_path_;
    std::string key_path_;
};

QByteArray contents(const std::string& path) {
    QFile file(QString::fromStdString(path));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

unsigned permissions(const std::string& path) {
    struct stat s {};
    return ::stat(path.c_str(), &s) == 0 ? (s.st_mode & 07777u) : 0xffffu;
}

// The public half of a PEM private key, as PEM, worked out by OpenSSL.
QByteArray public_part(const QByteArray& private_pem) {
    BIO* in = BIO_new_mem_buf(private_pem.constData(), static_cast<int>(private_pem.size()));
    EVP_PKEY* key = PEM_read_bio_PrivateKey(in, nullptr, nullptr, nullptr);
    BIO_free(in);
    if (key == nullptr) return {};
    BIO* out = BIO_new(BIO_s_mem());
    QByteArray pem;
    if (PEM_write_bio_PUBKEY(out, key) == 1) {
        char* data = nullptr;
        const long size = BIO_get_mem_data(out, &data);
        pem = QByteArray(data, static_cast<qsizetype>(size));
    }
    BIO_free(out);
    EVP_PKEY_free(key);
    return pem;
}

TEST_F(CertificateFolder, MakesAMatchingPairForTheHostWithAKeyOnlyItsOwnerReads) {
    const std::string host = machine_host_name();
    ASSERT_FALSE(host.empty());
    std::string error;
    ASSERT_TRUE(make_self_signed_certificate(certificate_path_, key_path_, host, error)) << error;
    EXPECT_EQ(files_in(folder_), (std::set<std::string>{"quillon.crt", "quillon.key"}));
    EXPECT_EQ(permissions(key_path_), 0600u);

    const auto certificates = QSslCertificate::fromData(contents(certificate_path_), QSsl::Pem);
    ASSERT_EQ(certificates.size(), 1);
    const QSslCertificate& certificate = certificates.front();
    const QString name = QString::fromStdString(host);
    EXPECT_EQ(certificate.subjectInfo(QSslCertificate::CommonName), QStringList{name});
    EXPECT_EQ(certificate.issuerInfo(QSslCertificate::CommonName), QStringList{name});
    EXPECT_TRUE(certificate.isSelfSigned());
    EXPECT_EQ(certificate.subjectAlternativeNames().values(QSsl::DnsEntry), QStringList{name});
    EXPECT_EQ(certificate.version(), "3");
    EXPECT_EQ(QByteArray::fromHex(certificate.serialNumber()).size(), 16);

    const QDateTime now = QDateTime::currentDateTimeUtc();
    EXPECT_LE(std::abs(certificate.effectiveDate().secsTo(now)), 60);
    EXPECT_LE(std::abs(certificate.expiryDate().secsTo(now.addDays(3650))), 60);

    bool found_constraints = false;
    const QList<QSslCertificateExtension> extensions = certificate.extensions();
    for (const QSslCertificateExtension& extension : extensions) {
        if (extension.name() != "basicConstraints") continue;
        found_constraints = true;
        EXPECT_FALSE(extension.value().toMap().value("ca").toBool());
    }
    EXPECT_TRUE(found_constraints);

    const QByteArray key_pem = contents(key_path_);
    const QSslKey key(key_pem, QSsl::Ec, QSsl::Pem, QSsl::PrivateKey);
    ASSERT_FALSE(key.isNull());
    EXPECT_EQ(key.length(), 256);
    EXPECT_EQ(public_part(key_pem), certificate.publicKey().toPem());
}

TEST_F(CertificateFolder, MakingAgainReplacesAnOpenKeyAndTheOldCertificate) {
    std::string error;
    ASSERT_TRUE(make_self_signed_certificate(certificate_path_, key_path_, "gateway", error));
    const QByteArray first_certificate = contents(certificate_path_);
    ::chmod(key_path_.c_str(), 0644);  // left readable by someone before

    ASSERT_TRUE(make_self_signed_certificate(certificate_path_, key_path_, "gateway", error))
        << error;
    EXPECT_EQ(files_in(folder_), (std::set<std::string>{"quillon.crt", "quillon.key"}));
    EXPECT_EQ(permissions(key_path_), 0600u);
    const QSslCertificate second(contents(certificate_path_), QSsl::Pem);
    EXPECT_NE(second.serialNumber(), QSslCertificate(first_certificate, QSsl::Pem).serialNumber());
    EXPECT_EQ(public_part(contents(key_path_)), second.publicKey().toPem());
}

TEST_F(CertificateFolder, AKeyFolderThatCannotBeWrittenLeavesNoFileAtAll) {
    // Root ignores mode bits: a regular file stands where the folder should be.
    std::ofstream(folder_ / "plain") << "not a folder";
    const std::string key_path = (folder_ / "plain" / "quillon.key").string();

    std::string error;
    EXPECT_FALSE(make_self_signed_certificate(certificate_path_, key_path, "gateway", error));
    EXPECT_NE(error.find(key_path), std::string::npos) << error;
    EXPECT_EQ(files_in(folder_), std::set<std::string>{"plain"});
}

TEST_F(CertificateFolder, ACertificateFolderThatCannotBeWrittenLeavesNoFileAtAll) {
    std::ofstream(folder_ / "plain") << "not a folder";
    const std::string certificate_path = (folder_ / "plain" / "quillon.crt").string();

    std::string error;
    EXPECT_FALSE(make_self_signed_certificate(certificate_path, key_path_, "gateway", error));
    EXPECT_NE(error.find(certificate_path), std::string::npos) << error;
    EXPECT_EQ(files_in(folder_), std::set<std::string>{"plain"});
}

}  // namespace
}  // namespace quillon
