#include "core/TlsContext.h"
#include "core/mdlCommon.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSslCertificate>
#include <QSslKey>

namespace {
QString PathOf(const QString& setting)
{
    return setting.isEmpty() ? QString() : QDir(mdlCommon::ProgramFolder()).absoluteFilePath(setting);
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
