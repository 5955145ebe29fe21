#include "acme/StsPolicy.h"
#include "core/Server.h"

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
    tls_.Use(s.TlsCertificate, s.TlsKey);
    const QByteArray policy = Text(s.MtaStsMode, s.HostName);
    responder_ = std::make_unique<HttpResponder>([policy](const QByteArray& path) { return path == PolicyPath ? std::optional(policy) : std::nullopt; },
                                                 [this] { return tls_.Current(); });
    if (const QString why = responder_->Listen(s.Listen, HttpsPort); !why.isEmpty())
        server.Log("MTA-STS: " + why.toUtf8() + "; no policy is served");
    else
        server.Log("MTA-STS: policy (" + s.MtaStsMode.toUtf8() + ") served at https://mta-sts." + s.ServerDomain.trimmed().toUtf8() + PolicyPath);
}
