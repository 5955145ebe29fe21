#include "core/TlsContext.h"
#include "core/mdlCommon.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSslCertificate>
#include <QSslKey>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <memory>

namespace {
QString PathOf(const QString& setting)
{
    return setting.isEmpty() ? QString() : QDir(mdlCommon::ProgramFolder()).absoluteFilePath(setting);
}

// Whether the key is the one the certificate was issued for: a renewal caught half written on
// disk pairs a new certificate with the old key, and every handshake with it fails.
bool KeyFits(const QSslCertificate& certificate, const QByteArray& keyPem)
{
    const QByteArray certPem = certificate.toPem();
    const std::unique_ptr<BIO, decltype(&BIO_free)> certBio(BIO_new_mem_buf(certPem.constData(), int(certPem.size())), BIO_free);
    const std::unique_ptr<BIO, decltype(&BIO_free)> keyBio(BIO_new_mem_buf(keyPem.constData(), int(keyPem.size())), BIO_free);
    if (!certBio || !keyBio)
        return false;
    const std::unique_ptr<X509, decltype(&X509_free)> x509(PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr), X509_free);
    const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr), EVP_PKEY_free);
    const bool fits = x509 && key && X509_check_private_key(x509.get(), key.get()) == 1;
    ERR_clear_error();   // a mismatch leaves its reason behind, for the next TLS session to trip on
    return fits;
}

}

std::optional<QSslConfiguration> TlsContext::Current()
{
    const QString cert = PathOf(certificate_), key = PathOf(key_);
    if (cert.isEmpty() || key.isEmpty())
        return std::nullopt;
    // A look at the files at most once a second: this runs for every new session.
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    constexpr qint64 RecheckMs = 1000;
    if (checkedMs_ >= 0 && now - checkedMs_ < RecheckMs)
        return config_;
    checkedMs_ = now;
    const std::pair<FileStamp, FileStamp> stamp{FileStampOf(cert), FileStampOf(key)};
    if (stamp == stamp_ && !paths_.isEmpty() && paths_ == cert + QLatin1Char('|') + key)
        return config_;
    stamp_ = stamp;
    paths_ = cert + QLatin1Char('|') + key;
    auto fail = [&](const QString& why) {
        if (Warning)
            Warning(QStringLiteral("TLS: %1; %2").arg(why, config_ ? QStringLiteral("the certificate read before stays in use")
                                                                   : QStringLiteral("no TLS is offered")));
        return config_;
    };
    QFile certFile(cert), keyFile(key);
    if (!certFile.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot read %1: %2").arg(cert, certFile.errorString()));
    if (!keyFile.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot read %1: %2").arg(key, keyFile.errorString()));
    const QList<QSslCertificate> chain = QSslCertificate::fromData(certFile.readAll(), QSsl::Pem);
    const QByteArray keyPem = keyFile.readAll();
    QSslKey privateKey(keyPem, QSsl::Rsa, QSsl::Pem);
    if (privateKey.isNull())
        privateKey = QSslKey(keyPem, QSsl::Ec, QSsl::Pem);
    if (chain.isEmpty())
        return fail(QStringLiteral("%1 holds no PEM certificate").arg(cert));
    if (privateKey.isNull())
        return fail(QStringLiteral("%1 holds no PEM key (RSA or EC, not encrypted)").arg(key));
    if (!KeyFits(chain.first(), keyPem))
        return fail(QStringLiteral("the key in %1 does not match the certificate in %2").arg(key, cert));
    QSslConfiguration c = QSslConfiguration::defaultConfiguration();
    c.setLocalCertificateChain(chain);
    c.setPrivateKey(privateKey);
    c.setProtocol(QSsl::TlsV1_2OrLater);
    c.setPeerVerifyMode(QSslSocket::VerifyNone);
    config_ = c;
    if (Warning)
        Warning(QStringLiteral("TLS: using the certificate of %1 (valid until %2)")
                    .arg(chain.first().subjectDisplayName(), chain.first().expiryDate().toString(Qt::ISODate)));
    return config_;
}
