#include "report/Book.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace Report {

namespace {

const char* PolicyType(TlsOutcome::Policy p)
{
    switch (p) {
    case TlsOutcome::Policy::Sts: return "sts";
    case TlsOutcome::Policy::Tlsa: return "tlsa";
    case TlsOutcome::Policy::None: break;
    }
    return "no-policy-found";
}

QJsonArray Strings(const QList<QByteArray>& list)
{
    QJsonArray a;
    for (const QByteArray& s : list)
        a.append(QString::fromUtf8(s));
    return a;
}

QString Text(const QByteArray& s) { return QString::fromUtf8(s); }

// A name that may stand in a subject, a file name and a DNS query as it is.
bool PlainDomain(const QByteArray& domain)
{
    constexpr qsizetype MaxName = 253;
    if (domain.isEmpty() || domain.size() > MaxName)
        return false;
    for (char c : domain)
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_'))
            return false;
    return true;
}

// One more of `row` under `domain`; the head, when given, is the latest one seen.
bool Add(std::map<QByteArray, Rows>& kind, const QByteArray& domain, const QJsonObject& row, const QJsonObject& head = {})
{
    if (!PlainDomain(domain) || (!kind.count(domain) && kind.size() >= size_t(MaxDomains)))
        return false;
    Rows& rows = kind[domain];
    const QByteArray key = QJsonDocument(row).toJson(QJsonDocument::Compact);
    auto it = rows.rows.find(key);
    if (it == rows.rows.end()) {
        if (rows.rows.size() >= size_t(MaxRows))
            return false;
        it = rows.rows.emplace(key, row).first;
    }
    it->second[QStringLiteral("count")] = it->second.value(QStringLiteral("count")).toInteger() + 1;
    if (!head.isEmpty())
        rows.head = head;
    return true;
}

QJsonObject KindToJson(const std::map<QByteArray, Rows>& kind)
{
    QJsonObject json;
    for (const auto& [domain, rows] : kind) {
        QJsonArray list;
        for (const auto& [key, row] : rows.rows)
            list.append(row);
        json[Text(domain)] = QJsonObject{{QStringLiteral("head"), rows.head}, {QStringLiteral("rows"), list}};
    }
    return json;
}

std::map<QByteArray, Rows> KindFromJson(const QJsonObject& json)
{
    std::map<QByteArray, Rows> kind;
    for (auto it = json.begin(); it != json.end() && kind.size() < size_t(MaxDomains); ++it) {
        Rows& rows = kind[it.key().toUtf8()];
        rows.head = it.value()[QStringLiteral("head")].toObject();
        for (const QJsonValue& v : it.value()[QStringLiteral("rows")].toArray()) {
            QJsonObject row = v.toObject();
            const qint64 count = row.take(QStringLiteral("count")).toInteger();
            const QByteArray key = QJsonDocument(row).toJson(QJsonDocument::Compact);
            row[QStringLiteral("count")] = count;
            if (count > 0 && rows.rows.size() < size_t(MaxRows))
                rows.rows[key] = row;
        }
    }
    return kind;
}

}

QJsonObject Period::ToJson() const
{
    return {{QStringLiteral("begin"), begin}, {QStringLiteral("end"), end}, {QStringLiteral("tls"), KindToJson(tls)},
            {QStringLiteral("dmarc"), KindToJson(dmarc)}};
}

Period Period::FromJson(const QJsonObject& json)
{
    Period p;
    p.begin = json[QStringLiteral("begin")].toInteger();
    p.end = json[QStringLiteral("end")].toInteger();
    p.tls = KindFromJson(json[QStringLiteral("tls")].toObject());
    p.dmarc = KindFromJson(json[QStringLiteral("dmarc")].toObject());
    return p;
}

bool Count(Period& period, const TlsOutcome& o)
{
    QJsonObject row{{QStringLiteral("type"), QString::fromLatin1(PolicyType(o.policy))}, {QStringLiteral("strings"), Strings(o.policyStrings)}};
    if (!o.failure.isEmpty()) {
        row[QStringLiteral("result")] = Text(o.failure);
        row[QStringLiteral("mx")] = Text(o.mxHost);
        row[QStringLiteral("ip")] = Text(o.receivingIp);
    }
    return Add(period.tls, o.domain.toLower(), row);
}

bool Count(Period& period, const DmarcFacts& f)
{
    if (f.record.rua.isEmpty())
        return false;
    QJsonArray dkim;
    for (const DmarcFacts::Signature& s : f.dkim)
        dkim.append(QJsonObject{{QStringLiteral("domain"), Text(s.domain)}, {QStringLiteral("selector"), Text(s.selector)},
                                {QStringLiteral("result"), Text(s.result)}});
    const QJsonObject row{{QStringLiteral("ip"), Text(f.sourceIp)},
                          {QStringLiteral("from"), Text(f.headerFrom)},
                          {QStringLiteral("envelope"), Text(f.envelopeFrom)},
                          {QStringLiteral("disposition"), QString::fromLatin1(Dmarc::Name(f.disposition))},
                          {QStringLiteral("dkimAligned"), f.dkimAligned},
                          {QStringLiteral("spfAligned"), f.spfAligned},
                          {QStringLiteral("dkim"), dkim},
                          {QStringLiteral("spf"), QJsonObject{{QStringLiteral("domain"), Text(f.envelopeFrom)},
                                                              {QStringLiteral("scope"), Text(f.spfScope)},
                                                              {QStringLiteral("result"), Text(f.spfResult)}}}};
    const Dmarc::Record& r = f.record;
    const QJsonObject head{{QStringLiteral("adkim"), r.strictDkim ? "s" : "r"},
                           {QStringLiteral("aspf"), r.strictSpf ? "s" : "r"},
                           {QStringLiteral("p"), QString::fromLatin1(Dmarc::Name(r.p))},
                           {QStringLiteral("sp"), QString::fromLatin1(Dmarc::Name(r.hasSp ? r.sp : r.p))},
                           {QStringLiteral("pct"), r.pct},
                           {QStringLiteral("rua"), Strings(r.rua)}};
    return Add(period.dmarc, f.policyDomain.toLower(), row, head);
}

}
