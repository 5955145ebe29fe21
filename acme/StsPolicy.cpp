#include "acme/StsPolicy.h"
#include "core/Server.h"
#include "core/mdlCommon.h"

#include <QDir>
#include <QFile>
#include <QSslCertificate>
#include <QSslKey>

namespace {
const QByteArray PolicyPath = "/.well-known/mta-sts.txt";
}

QByteArray StsPolicy::Text(const QString& mode, const QString& hostName)
{
    return "version: STSv1\r\nmode: " + mode.toLatin1() + "\r\nmx: " + hostName.toUtf8() + "\r\nmax_age: " + QByteArray::number(MaxAgeSeconds)
           + "\r\n";
}

void StsPolicy::Start(Server& server)
{
    const Settings& s = server.Config();
    if (s.MtaStsMode != QLatin1String("testing") && s.MtaStsMode != QLatin1String("enforce")) {
        if (s.MtaStsMode != QLatin1String("none"))
            server.Log("MTA-STS: MtaStsMode \"" + s.MtaStsMode.toUtf8() + "\" is none of none, testing or enforce: no policy is served");
        return;
    }
    settings_ = s;
    tls_.Use(s.TlsCertificate, s.TlsKey);
    const QByteArray policy = Text(s.MtaStsMode, s.HostName);
    responder_ = std::make_unique<HttpResponder>([policy](const QByteArray& path) { return path == PolicyPath ? std::optional(policy) : std::nullopt; },
                                                 [this] { return Configuration(); });
    if (const QString why = responder_->Listen(s.Listen, HttpsPort); !why.isEmpty())
        server.Log("MTA-STS: " + why.toUtf8() + "; no policy is served");
    else
        server.Log("MTA-STS: policy (" + s.MtaStsMode.toUtf8() + ") served at https://mta-sts." + s.ServerDomain.trimmed().toUtf8() + PolicyPath);
}

// The policy is served through Qt's sockets: their configuration is made again from the files
// whenever the server's own context is (the files changed and are usable).
std::optional<QSslConfiguration> StsPolicy::Configuration()
{
    const std::shared_ptr<SSL_CTX> context = tls_.Current();
    if (!context)
        return std::nullopt;
    if (context != madeFor_) {
        const Settings& s = settings_;
        const QDir folder(mdlCommon::ProgramFolder());
        QFile keyFile(folder.absoluteFilePath(s.TlsKey));
        const QByteArray keyPem = keyFile.open(QIODevice::ReadOnly) ? keyFile.readAll() : QByteArray();
        QSslKey key(keyPem, QSsl::Ec, QSsl::Pem);
        if (key.isNull())
            key = QSslKey(keyPem, QSsl::Rsa, QSsl::Pem);
        const QList<QSslCertificate> chain = QSslCertificate::fromPath(folder.absoluteFilePath(s.TlsCertificate), QSsl::Pem);
        if (key.isNull() || chain.isEmpty())
            return std::nullopt;
        QSslConfiguration config = QSslConfiguration::defaultConfiguration();
        config.setProtocol(QSsl::TlsV1_2OrLater);
        config.setLocalCertificateChain(chain);
        config.setPrivateKey(key);
        config_ = config;
        madeFor_ = context;
    }
    return config_;
}
