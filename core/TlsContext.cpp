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
#include <openssl/ssl.h>
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

// The server's context: TLS 1.2 and later, the chain and its key. The ticket keys and the
// session cache come from TlsResume, which sees every context made.
std::shared_ptr<SSL_CTX> ServerContext(const QByteArray& chainPem, const QByteArray& keyPem)
{
    std::shared_ptr<SSL_CTX> ctx(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
    const std::unique_ptr<BIO, decltype(&BIO_free)> chain(BIO_new_mem_buf(chainPem.constData(), int(chainPem.size())), BIO_free);
    const std::unique_ptr<BIO, decltype(&BIO_free)> keyBio(BIO_new_mem_buf(keyPem.constData(), int(keyPem.size())), BIO_free);
    if (!ctx || !chain || !keyBio)
        return nullptr;
    SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
    SSL_CTX_set_options(ctx.get(), SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION);
    SSL_CTX_set_num_tickets(ctx.get(), 0);   // TLS 1.3 tickets go with the first reply (see TlsSession)
    // The chain is the file's: not built again from a store for every full handshake.
    SSL_CTX_set_mode(ctx.get(), SSL_MODE_NO_AUTO_CHAIN);
    bool fine = false;
    for (bool first = true;; first = false) {
        X509* x = PEM_read_bio_X509(chain.get(), nullptr, nullptr, nullptr);
        if (!x)
            break;
        fine = first ? SSL_CTX_use_certificate(ctx.get(), x) == 1 : fine && SSL_CTX_add0_chain_cert(ctx.get(), x) == 1;
        if (first || !fine)
            X509_free(x);   // add0 took it
    }
    const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr), EVP_PKEY_free);
    fine = fine && key && SSL_CTX_use_PrivateKey(ctx.get(), key.get()) == 1;
    ERR_clear_error();   // the end of the chain's PEM leaves a "no start line" behind
    return fine ? ctx : nullptr;
}

}

std::shared_ptr<SSL_CTX> TlsContext::Current()
{
    const QString cert = PathOf(certificate_), key = PathOf(key_);
    if (cert.isEmpty() || key.isEmpty())
        return nullptr;
    // A look at the files at most once a second: this runs for every new session.
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    constexpr qint64 RecheckMs = 1000;
    if (checkedMs_ >= 0 && now - checkedMs_ < RecheckMs)
        return context_;
    checkedMs_ = now;
    const std::pair<FileStamp, FileStamp> stamp{FileStampOf(cert), FileStampOf(key)};
    if (stamp == stamp_ && !paths_.isEmpty() && paths_ == cert + QLatin1Char('|') + key)
        return context_;
    stamp_ = stamp;
    paths_ = cert + QLatin1Char('|') + key;
    auto fail = [&](const QString& why) {
        if (Warning)
            Warning(QStringLiteral("TLS: %1; %2").arg(why, context_ ? QStringLiteral("the certificate read before stays in use")
                                                                   : QStringLiteral("no TLS is offered")));
        return context_;
    };
    QFile certFile(cert), keyFile(key);
    if (!certFile.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot read %1: %2").arg(cert, certFile.errorString()));
    if (!keyFile.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot read %1: %2").arg(key, keyFile.errorString()));
    const QByteArray chainPem = certFile.readAll();
    const QList<QSslCertificate> chain = QSslCertificate::fromData(chainPem, QSsl::Pem);
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
    auto context = ServerContext(chainPem, keyPem);
    if (!context)
        return fail(QStringLiteral("OpenSSL cannot use the certificate in %1 with the key in %2").arg(cert, key));
    context_ = std::move(context);
    if (Warning)
        Warning(QStringLiteral("TLS: using the certificate of %1 (valid until %2)")
                    .arg(chain.first().subjectDisplayName(), chain.first().expiryDate().toString(Qt::ISODate)));
    return context_;
}
