#pragma once
// Certificates from an ACME server (RFC 8555, HTTP-01): one is ordered at start when the files
// of the settings TlsCertificate and TlsKey hold none for every name we need, and again once
// it has less than a third of its life left. The TLS ports read the files again when they
// change. A failed order is logged and tried again later; mail never waits for it.
#include "acme/AcmeKeys.h"
#include "acme/HttpResponder.h"
#include "core/Settings.h"

#include <QDateTime>
#include <QHash>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QSslCertificate>
#include <QTimer>
#include <functional>
#include <optional>

class QNetworkReply;
class Server;

class Acme : public QObject {
    Q_OBJECT
public:
    explicit Acme(QObject* parent = nullptr);
    ~Acme() override;

    // Begins with the settings of `server`, which takes the log lines; nothing when AcmeDirectory is empty.
    void Start(Server& server);

    // The names the certificate covers: the host name, and the MTA-STS host when a policy is served.
    static QStringList Names(const Settings& s);
    // From when `certificate` should be replaced to cover `names`: invalid when at once.
    static QDateTime RenewFrom(const QSslCertificate& certificate, const QStringList& names);

    static constexpr int PollMs = 1000;
    static constexpr int MaxPolls = 60;
    static constexpr int RequestTimeoutMs = 30000;
    static constexpr int MaxNonceRetries = 3;
    static constexpr qint64 DaySeconds = 86400;

private:
    struct Answer {
        int status = 0;
        QJsonObject json;
        QByteArray body, location;
    };
    using Then = std::function<void(const Answer&)>;

    void Check();
    void Order();
    void Post(const QString& url, const std::optional<QJsonObject>& payload, Then then, int tries = 0);
    void Received(QNetworkReply* reply, const QString& url, const std::optional<QJsonObject>& payload, const Then& then, int tries);
    void Authorize(int i);
    void Challenge(int i, const QJsonObject& authorization);
    void Poll(const QString& url, const QString& waiting, int polls, Then then);
    void Finalize();
    void Store(const QByteArray& chain);
    void Fail(const QString& what, const QString& detail);
    void Log(const QString& line);
    QString File(const QString& setting) const;
    QNetworkRequest Request(const QString& url) const;

    Server* server_ = nullptr;
    Settings settings_;
    QNetworkAccessManager network_;
    QSslConfiguration ssl_;
    HttpResponder challenges_;
    std::optional<AcmeKey> account_, certificateKey_;
    QHash<QByteArray, QByteArray> answers_;   // token: key authorisation
    QJsonObject directory_, order_;
    QString kid_, orderUrl_;
    QByteArray nonce_;
    QTimer next_;
    qint64 retrySeconds_ = 0;
    bool ordering_ = false;
};
