#pragma once
// Our own MTA-STS policy (RFC 8461), served over HTTPS on port 443 of the Listen addresses with
// the server's certificate, at https://mta-sts.<Domain>/.well-known/mta-sts.txt.
#include "acme/HttpResponder.h"
#include "core/Settings.h"
#include "core/TlsContext.h"

#include <QByteArray>
#include <memory>

class Server;

class StsPolicy {
public:
    // The policy's text for `mode` (testing or enforce) and our one exchanger.
    static QByteArray Text(const QString& mode, const QString& hostName);
    // Serves it when the setting MtaStsMode asks; the log tells what came of it.
    void Start(Server& server);

    static constexpr quint16 HttpsPort = 443;
    static constexpr int MaxAgeSeconds = 604800;   // a week

private:
    std::optional<QSslConfiguration> Configuration();

    Settings settings_;
    TlsContext tls_;
    std::shared_ptr<SSL_CTX> madeFor_;   // the context config_ was made beside
    std::optional<QSslConfiguration> config_;
    std::unique_ptr<HttpResponder> responder_;
};
