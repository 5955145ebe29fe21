#include "relay/MtaSts.h"
#include "core/DurableFile.h"
#include "core/Failure.h"
#include "core/mdlCommon.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QSslConfiguration>
#include <QSslSocket>
#include <algorithm>
#include <cctype>

namespace MtaSts {

namespace {

constexpr quint16 HttpsPort = 443;
constexpr qsizetype MostHeadBytes = 8 * 1024;
constexpr qsizetype MostIdBytes = 32;
constexpr qint64 LongestMaxAge = 31557600;   // a year, as the RFC bounds it
const QByteArray Version = "STSv1";
const QString FileName = QStringLiteral("/MtaStsPolicies.txt");

QByteArray Bare(QByteArray name)
{
    name = name.trimmed().toLower();
    if (name.endsWith('.'))
        name.chop(1);
    return name;
}

// "key=value" pairs between ";" of a TXT record.
std::map<QByteArray, QByteArray> Fields(const QByteArray& record)
{
    std::map<QByteArray, QByteArray> fields;
    for (const QByteArray& part : record.split(';')) {
        const qsizetype eq = part.indexOf('=');
        if (eq > 0)
            fields[part.left(eq).trimmed()] = part.mid(eq + 1).trimmed();
    }
    return fields;
}

// The body of an HTTP/1.0 answer of status 200, read from a server that closes the
// connection after it; none when it is anything else.
std::optional<QByteArray> Body(const QByteArray& answer)
{
    const qsizetype end = answer.indexOf("\r\n\r\n");
    const QList<QByteArray> status = answer.left(answer.indexOf("\r\n")).split(' ');
    if (end < 0 || status.size() < 2 || !status[0].startsWith("HTTP/1.") || status[1] != "200")
        return std::nullopt;   // redirects too: they are not followed
    return answer.mid(end + 4);
}

// The policy text from the policy host, over TLS verified for its name; a failure says why not.
std::optional<QByteArray> Fetch(const QByteArray& host, const QByteArray& address, const QList<QSslCertificate>& ca)
{
    const QDeadlineTimer deadline(FetchSeconds * 1000);
    QSslSocket s;
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setProtocol(QSsl::TlsV1_2OrLater);
    config.setPeerVerifyMode(QSslSocket::VerifyPeer);
    if (!ca.isEmpty())
        config.addCaCertificates(ca);
    s.setSslConfiguration(config);
    s.connectToHostEncrypted(QString::fromLatin1(address), HttpsPort, QString::fromLatin1(host));
    if (!s.waitForEncrypted(int(deadline.remainingTime())))
        return std::nullopt;
    s.write("GET /.well-known/mta-sts.txt HTTP/1.0\r\nHost: " + host + "\r\nUser-Agent: Tandrivel\r\n\r\n");
    QByteArray answer;
    while (s.state() == QAbstractSocket::ConnectedState || s.bytesAvailable() > 0) {
        if (answer.size() > MostHeadBytes + MostPolicyBytes || deadline.hasExpired())
            return std::nullopt;
        if (s.bytesAvailable() == 0 && !s.waitForReadyRead(int(deadline.remainingTime())))
            break;   // closed: the answer is whole
        answer += s.read(MostHeadBytes + MostPolicyBytes + 1 - answer.size());
    }
    std::optional<QByteArray> body = Body(answer);
    if (!body || body->size() > MostPolicyBytes || deadline.hasExpired())
        return std::nullopt;
    return body;
}

}

QByteArray RecordId(const QList<QByteArray>& txt)
{
    QByteArray id;
    int found = 0;
    for (const QByteArray& record : txt) {
        if (!record.startsWith("v=" + Version))
            continue;
        const auto fields = Fields(record);
        const auto it = fields.find("id");
        ++found;
        // 1 to 32 letters and digits
        const bool good = it != fields.end() && !it->second.isEmpty() && it->second.size() <= MostIdBytes
                          && std::all_of(it->second.begin(), it->second.end(), [](char c) { return std::isalnum(uchar(c)); });
        if (fields.at("v") == Version && good)
            id = it->second;
    }
    return found == 1 ? id : QByteArray();
}

std::optional<Policy> Parse(const QByteArray& text)
{
    Policy p;
    bool version = false, mode = false, age = false;
    for (QByteArray line : text.split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.trimmed().isEmpty())
            continue;
        p.lines << line;
        const qsizetype colon = line.indexOf(':');
        const QByteArray key = line.left(colon).trimmed(), value = line.mid(colon + 1).trimmed();
        if (colon < 0)
            continue;
        if (key == "version") {
            version = value == Version;
        } else if (key == "mode") {
            mode = true;
            if (value == "enforce")
                p.mode = Policy::Mode::Enforce;
            else if (value == "testing")
                p.mode = Policy::Mode::Testing;
            else
                mode = value == "none";
        } else if (key == "max_age") {
            bool ok = false;
            p.maxAge = value.toLongLong(&ok);
            age = ok && p.maxAge >= 0 && p.maxAge <= LongestMaxAge;
        } else if (key == "mx" && !value.isEmpty()) {
            p.mx << Bare(value);
        }
    }
    if (!version || !mode || !age || (p.mode != Policy::Mode::None && p.mx.isEmpty()))
        return std::nullopt;
    return p;
}

bool Matches(const Policy& policy, const QByteArray& host)
{
    const QByteArray name = Bare(host);
    for (const QByteArray& mx : policy.mx) {
        if (mx == name)
            return true;
        // A wildcard stands for the leftmost label only.
        const qsizetype dot = name.indexOf('.');
        if (mx.startsWith("*.") && dot > 0 && name.mid(dot) == mx.mid(1))
            return true;
    }
    return false;
}

Found Look(const QByteArray& domain, Dns::Resolver& dns, const QList<QSslCertificate>& ca, const std::optional<Policy>& kept, qint64 now)
{
    const Dns::Answer txt = dns.Query("_mta-sts." + domain, Dns::Type::Txt);
    const QByteArray id = RecordId(txt.records);
    // No record now, or the one the kept policy came with: the kept policy holds.
    if (id.isEmpty() || (kept && kept->id == id))
        return Found{kept, false, {}};
    const QByteArray host = "mta-sts." + domain;
    const Dns::Answer a = dns.Query(host, Dns::Type::A);
    std::optional<QByteArray> text = a.records.isEmpty() ? std::nullopt : Fetch(host, a.records.front(), ca);
    if (!text)
        return Found{kept, false, "sts-policy-fetch-error"};
    std::optional<Policy> p = Parse(*text);
    if (!p)
        return Found{kept, false, "sts-policy-invalid"};
    p->id = id;
    p->until = now + p->maxAge;
    return Found{p, true, {}};
}

void Store::Load()
{
    QFile f(mdlCommon::ProgramFolder() + FileName);
    if (!f.open(QIODevice::ReadOnly))
        return;
    // One line a domain: name, id, kept until, the policy text in base64.
    for (const QByteArray& line : f.readAll().split('\n')) {
        const QList<QByteArray> parts = line.split(' ');
        std::optional<Policy> p = parts.size() == 4 ? Parse(QByteArray::fromBase64(parts[3])) : std::nullopt;
        if (!p)
            continue;
        p->id = parts[1];
        p->until = parts[2].toLongLong();
        kept_[parts[0]] = *p;
    }
}

std::optional<Policy> Store::Find(const QByteArray& domain, qint64 now) const
{
    const auto it = kept_.find(domain);
    if (it == kept_.end() || it->second.until <= now)
        return std::nullopt;
    return it->second;
}

void Store::Keep(const QByteArray& domain, const Policy& policy)
{
    kept_[domain] = policy;
    Save();
}

void Store::Save() const
{
    QByteArray text;
    for (const auto& [domain, p] : kept_)
        text += domain + ' ' + p.id + ' ' + QByteArray::number(p.until) + ' ' + p.lines.join("\r\n").toBase64() + '\n';
    try {
        DurableFile::Replace(mdlCommon::ProgramFolder() + FileName, text, false);
    } catch (const Failure& f) {
        mdlCommon::Report(QStringLiteral("MTA-STS: cannot keep the policies: %1").arg(QString::fromUtf8(f.text())));
    }
}

}
