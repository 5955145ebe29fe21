#include "acme/Acme.h"
#include "core/DurableFile.h"
#include "core/Failure.h"
#include "core/Server.h"
#include "core/TlsContext.h"
#include "core/mdlCommon.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkReply>

namespace {
const char AccountKeyFile[] = "acme-account.pem";
const QByteArray ChallengePath = "/.well-known/acme-challenge/";
constexpr qint64 RenewDivisor = 3;   // renewed with a third of its life left

QString Text(const QJsonObject& o, const char* key) { return o.value(QLatin1String(key)).toString(); }
}

Acme::Acme(QObject* parent)
    : QObject(parent), challenges_([this](const QByteArray& path) -> std::optional<QByteArray> {
          if (!path.startsWith(ChallengePath) || !answers_.contains(path.mid(ChallengePath.size())))
              return std::nullopt;
          return answers_.value(path.mid(ChallengePath.size()));
      })
{
    next_.setSingleShot(true);
    connect(&next_, &QTimer::timeout, this, [this] {
        if (!ordering_)
            Check();
    });
}

Acme::~Acme() = default;

QStringList Acme::Names(const Settings& s)
{
    QStringList names{s.HostName};
    if (s.MtaStsMode == QLatin1String("testing") || s.MtaStsMode == QLatin1String("enforce"))
        names << QStringLiteral("mta-sts.") + s.ServerDomain.trimmed();
    return names;
}

QDateTime Acme::RenewFrom(const QSslCertificate& certificate, const QStringList& names)
{
    if (certificate.isNull())
        return {};
    const QList<QString> covered = certificate.subjectAlternativeNames().values(QSsl::DnsEntry);
    for (const QString& name : names)
        if (!covered.contains(name, Qt::CaseInsensitive))
            return {};
    const QDateTime from = certificate.effectiveDate(), until = certificate.expiryDate();
    return until.addSecs(-from.secsTo(until) / RenewDivisor);
}

void Acme::Start(Server& server)
{
    server_ = &server;
    settings_ = server.Config();
    if (settings_.AcmeDirectory.isEmpty())
        return;
    ssl_ = QSslConfiguration::defaultConfiguration();
    if (!settings_.TlsCaFile.isEmpty() && !ssl_.addCaCertificates(File(settings_.TlsCaFile)))
        Log(QStringLiteral("ACME: no CA certificate in %1").arg(File(settings_.TlsCaFile)));
    retrySeconds_ = settings_.AcmeRetrySeconds;
    Check();
}

QString Acme::File(const QString& setting) const { return QDir(mdlCommon::ProgramFolder()).absoluteFilePath(setting); }

QNetworkRequest Acme::Request(const QString& url) const
{
    QNetworkRequest request{QUrl(url)};
    request.setSslConfiguration(ssl_);
    request.setTransferTimeout(RequestTimeoutMs);
    return request;
}

void Acme::Log(const QString& line)
{
    if (server_)
        server_->Log(line.toUtf8());
}

// Orders a certificate when the one on disk will not do, else looks again when it is due.
void Acme::Check()
{
    QFile file(File(settings_.TlsCertificate));
    const QList<QSslCertificate> chain = file.open(QIODevice::ReadOnly) ? QSslCertificate::fromData(file.readAll()) : QList<QSslCertificate>();
    const QDateTime from = RenewFrom(chain.value(0), Names(settings_));
    const qint64 wait = from.isValid() ? QDateTime::currentDateTimeUtc().secsTo(from) : 0;
    TlsContext usable;   // the pair as the TLS ports would take it: a key that fits the certificate
    usable.Use(settings_.TlsCertificate, settings_.TlsKey);
    if (wait <= 0 || !usable.Current())
        return Order();
    next_.start(int(std::min(wait, DaySeconds) * 1000));
}

void Acme::Order()
{
    ordering_ = true;
    answers_.clear();
    kid_.clear();   // the account is asked for again: its URL comes back for the same key
    Log(QStringLiteral("ACME: ordering a certificate for %1 from %2").arg(Names(settings_).join(QStringLiteral(", ")), settings_.AcmeDirectory));
    try {
        account_ = AcmeKey::LoadOrMake(File(QLatin1String(AccountKeyFile)));
    } catch (const Failure& f) {
        return Fail(QStringLiteral("account key"), f.description);
    }
    QNetworkReply* reply = network_.get(Request(settings_.AcmeDirectory));
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        reply->deleteLater();
        directory_ = QJsonDocument::fromJson(reply->readAll()).object();
        if (reply->error() != QNetworkReply::NoError || Text(directory_, "newOrder").isEmpty())
            return Fail(QStringLiteral("directory"), reply->errorString());
        // The account first: made, or found again by its key.
        nonce_.clear();
        QJsonObject account{{QStringLiteral("termsOfServiceAgreed"), true}};
        if (!settings_.AcmeEmail.isEmpty())
            account.insert(QStringLiteral("contact"), QJsonArray{QStringLiteral("mailto:") + settings_.AcmeEmail});
        Post(Text(directory_, "newAccount"), account, [this](const Answer& a) {
            kid_ = QString::fromUtf8(a.location);
            QJsonArray identifiers;
            for (const QString& name : Names(settings_))
                identifiers.append(QJsonObject{{QStringLiteral("type"), QStringLiteral("dns")}, {QStringLiteral("value"), name}});
            Post(Text(directory_, "newOrder"), QJsonObject{{QStringLiteral("identifiers"), identifiers}}, [this](const Answer& o) {
                orderUrl_ = QString::fromUtf8(o.location);
                order_ = o.json;
                Authorize(0);
            });
        });
    });
}

// Signs and sends a request (no payload: POST-as-GET); a nonce the server refused is replaced
// and the request sent again.
void Acme::Post(const QString& url, const std::optional<QJsonObject>& payload, Then then, int tries)
{
    if (nonce_.isEmpty()) {
        QNetworkReply* reply = network_.head(Request(Text(directory_, "newNonce")));
        connect(reply, &QNetworkReply::finished, this, [=, this] {
            reply->deleteLater();
            nonce_ = reply->rawHeader("Replay-Nonce");
            if (nonce_.isEmpty())
                return Fail(QStringLiteral("nonce"), reply->errorString());
            Post(url, payload, then, tries);
        });
        return;
    }
    QJsonObject header{{QStringLiteral("nonce"), QString::fromLatin1(nonce_)}, {QStringLiteral("url"), url}};
    if (kid_.isEmpty())
        header.insert(QStringLiteral("jwk"), account_->Jwk());
    else
        header.insert(QStringLiteral("kid"), kid_);
    nonce_.clear();
    QByteArray body;
    try {
        body = account_->Sign(header, payload ? QJsonDocument(*payload).toJson(QJsonDocument::Compact) : QByteArray());
    } catch (const Failure& f) {
        return Fail(QStringLiteral("signing"), f.description);
    }
    QNetworkRequest request = Request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/jose+json"));
    QNetworkReply* reply = network_.post(request, body);
    connect(reply, &QNetworkReply::finished, this, [=, this] { Received(reply, url, payload, then, tries); });
}

void Acme::Received(QNetworkReply* reply, const QString& url, const std::optional<QJsonObject>& payload, const Then& then, int tries)
{
    reply->deleteLater();
    Answer a;
    a.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    a.body = reply->readAll();
    a.json = QJsonDocument::fromJson(a.body).object();
    a.location = reply->rawHeader("Location");
    nonce_ = reply->rawHeader("Replay-Nonce");
    if (a.status == 0)
        return Fail(QStringLiteral("request to %1").arg(url), reply->errorString());
    if (a.status < 300)
        return then(a);
    const QString type = Text(a.json, "type");
    if (type.endsWith(QLatin1String(":badNonce")) && tries < MaxNonceRetries)
        return Post(url, payload, then, tries + 1);
    Fail(QStringLiteral("request to %1").arg(url), (type.isEmpty() ? QStringLiteral("HTTP %1").arg(a.status) : type) + QStringLiteral(": ")
                                                        + Text(a.json, "detail"));
}

// The authorisations one after the other, then the certificate.
void Acme::Authorize(int i)
{
    const QJsonArray all = order_.value(QLatin1String("authorizations")).toArray();
    if (i >= all.size())
        return Finalize();
    const QString url = all.at(i).toString();
    Post(url, std::nullopt, [this, i, url](const Answer& a) {
        const QString status = Text(a.json, "status");
        if (status == QLatin1String("valid"))
            return Authorize(i + 1);
        if (status != QLatin1String("pending"))
            return Fail(QStringLiteral("authorization of %1").arg(Text(a.json.value(QLatin1String("identifier")).toObject(), "value")),
                        QStringLiteral("it is ") + status);
        Challenge(i, a.json);
    });
}

void Acme::Challenge(int i, const QJsonObject& authorization)
{
    const QString name = Text(authorization.value(QLatin1String("identifier")).toObject(), "value");
    QJsonObject challenge;
    for (const QJsonValue& c : authorization.value(QLatin1String("challenges")).toArray())
        if (Text(c.toObject(), "type") == QLatin1String("http-01"))
            challenge = c.toObject();
    const QByteArray token = Text(challenge, "token").toLatin1();
    if (token.isEmpty())
        return Fail(QStringLiteral("authorization of %1").arg(name), QStringLiteral("no http-01 challenge offered"));
    answers_.insert(token, token + '.' + account_->Thumbprint());
    if (!challenges_.Listening())
        if (const QString why = challenges_.Listen(settings_.Listen, quint16(settings_.AcmeHttpPort)); !why.isEmpty())
            return Fail(QStringLiteral("challenge of %1").arg(name), why);
    Post(Text(challenge, "url"), QJsonObject{}, [this, i, name](const Answer&) {
        const QString url = order_.value(QLatin1String("authorizations")).toArray().at(i).toString();
        Poll(url, QStringLiteral("authorization of %1").arg(name), 0, [this, i](const Answer&) { Authorize(i + 1); });
    });
}

// Asks for `url` again until what it names is valid; invalid fails the order.
void Acme::Poll(const QString& url, const QString& waiting, int polls, Then then)
{
    QTimer::singleShot(PollMs, this, [=, this] {
        Post(url, std::nullopt, [=, this](const Answer& a) {
            const QString status = Text(a.json, "status");
            if (status == QLatin1String("valid"))
                return then(a);
            QJsonObject problem = a.json.value(QLatin1String("error")).toObject();
            for (const QJsonValue& c : a.json.value(QLatin1String("challenges")).toArray())
                if (problem.isEmpty())
                    problem = c.toObject().value(QLatin1String("error")).toObject();
            if (status == QLatin1String("invalid"))
                return Fail(waiting, Text(problem, "type") + QStringLiteral(": ") + Text(problem, "detail"));
            if (polls + 1 >= MaxPolls)
                return Fail(waiting, QStringLiteral("still %1 after %2 s").arg(status).arg(MaxPolls * PollMs / 1000));
            Poll(url, waiting, polls + 1, then);
        });
    });
}

void Acme::Finalize()
{
    challenges_.Close();
    QByteArray csr;
    try {
        // The key stays across renewals, so that a TLSA record of it (3 1 1) stays true.
        try {
            certificateKey_ = AcmeKey::LoadOrMake(File(settings_.TlsKey));
        } catch (const Failure&) {   // unreadable: a new one, and the TLSA record changes with it
            certificateKey_ = AcmeKey::Make();
        }
        csr = certificateKey_->Request(Names(settings_));
    } catch (const Failure& f) {
        return Fail(QStringLiteral("certificate request"), f.description);
    }
    const QJsonObject payload{{QStringLiteral("csr"), QString::fromLatin1(Base64Url(csr))}};
    Post(Text(order_, "finalize"), payload, [this](const Answer& a) {
        const auto download = [this](const Answer& o) {
            Post(Text(o.json, "certificate"), std::nullopt, [this](const Answer& c) { Store(c.body); });
        };
        if (Text(a.json, "status") == QLatin1String("valid"))
            return download(a);
        Poll(orderUrl_, QStringLiteral("order"), 0, download);
    });
}

// The key first: the TLS ports take a certificate only with the key it was issued for.
void Acme::Store(const QByteArray& chain)
{
    const QList<QSslCertificate> certificates = QSslCertificate::fromData(chain);
    if (certificates.isEmpty())
        return Fail(QStringLiteral("certificate download"), QStringLiteral("no PEM certificate in the answer"));
    try {
        DurableFile::Replace(File(settings_.TlsKey), certificateKey_->Pem(), true, true);
        DurableFile::Replace(File(settings_.TlsCertificate), chain, true, true);
    } catch (const Failure& f) {
        return Fail(QStringLiteral("storing the certificate"), f.description);
    }
    Log(QStringLiteral("ACME: certificate for %1 obtained, valid until %2")
            .arg(Names(settings_).join(QStringLiteral(", ")), certificates.first().expiryDate().toString(Qt::ISODate)));
    ordering_ = false;
    retrySeconds_ = settings_.AcmeRetrySeconds;
    Check();
}

void Acme::Fail(const QString& what, const QString& detail)
{
    challenges_.Close();
    ordering_ = false;
    Log(QStringLiteral("ACME: %1 failed: %2; trying again in %3 s").arg(what, detail).arg(retrySeconds_));
    next_.start(int(retrySeconds_ * 1000));
    retrySeconds_ = std::min(retrySeconds_ * 2, DaySeconds);
}
