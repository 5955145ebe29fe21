#include "report/Formats.h"
#include "check/Dmarc.h"

#include <QDateTime>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QXmlStreamWriter>
#include <zlib.h>

namespace Report {

namespace {

QString Text(const QByteArray& s) { return QString::fromUtf8(s); }
QString Key(const char* name) { return QString::fromLatin1(name); }

QString Iso(qint64 seconds) { return QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC).toString(Qt::ISODate); }

// One policy of the TLS report: its rows summed and their failures listed.
QJsonObject TlsPolicy(const QByteArray& domain, const QJsonObject& first)
{
    QJsonObject policy{{Key("policy-type"), first[Key("type")]}, {Key("policy-domain"), Text(domain)}};
    const QJsonArray strings = first[Key("strings")].toArray();
    if (!strings.isEmpty())
        policy[Key("policy-string")] = strings;
    QJsonArray mx;
    for (const QJsonValue& line : strings)
        if (line.toString().startsWith(QLatin1String("mx:")))
            mx.append(line.toString().mid(3).trimmed());
    if (!mx.isEmpty())
        policy[Key("mx-host")] = mx;
    return policy;
}

constexpr int GzipWindow = 15 + 16;   // zlib's window bits, plus 16 for a gzip wrapper
constexpr int GzipMemory = 8;

qint64 SizeLimit(const QByteArray& suffix)   // "10m": bytes; -1 for none or unreadable
{
    if (suffix.isEmpty())
        return -1;
    const char unit = char(tolower(suffix.back()));
    const int shift = unit == 'k' ? 10 : unit == 'm' ? 20 : unit == 'g' ? 30 : unit == 't' ? 40 : 0;
    bool ok = false;
    const qint64 n = (shift ? suffix.chopped(1) : suffix).toLongLong(&ok);
    return ok && n >= 0 && n < (qint64(1) << 22) ? n << shift : -1;
}

bool Plain(const QByteArray& address)
{
    const qsizetype at = address.lastIndexOf('@');
    if (at < 1 || at + 1 >= address.size() || address.size() > 254)
        return false;
    for (char c : address)
        if (uchar(c) <= 0x20 || uchar(c) >= 0x7f || c == '<' || c == '>' || c == ',' || c == '"' || c == '\\')
            return false;
    return true;
}

QByteArray Base64Lines(const QByteArray& data)
{
    constexpr int LineLength = 76;
    const QByteArray b = data.toBase64();
    QByteArray out;
    for (qsizetype i = 0; i < b.size(); i += LineLength)
        out += b.mid(i, LineLength) + "\r\n";
    return out;
}

}

QByteArray TlsJson(const QByteArray& domain, const Rows& rows, const Header& h)
{
    // Rows of one policy go together: the policy's text is its key.
    std::map<QByteArray, QJsonObject> policies;
    for (const auto& [key, row] : rows.rows) {
        const QByteArray policyKey = QJsonDocument(QJsonObject{{Key("t"), row[Key("type")]}, {Key("s"), row[Key("strings")]}}).toJson(QJsonDocument::Compact);
        QJsonObject& p = policies[policyKey];
        if (p.isEmpty())
            p = QJsonObject{{Key("policy"), TlsPolicy(domain, row)}, {Key("ok"), 0}, {Key("failed"), 0}, {Key("failure-details"), QJsonArray()}};
        const qint64 count = row[Key("count")].toInteger();
        if (!row.contains(Key("result"))) {
            p[Key("ok")] = p[Key("ok")].toInteger() + count;
            continue;
        }
        p[Key("failed")] = p[Key("failed")].toInteger() + count;
        QJsonArray details = p[Key("failure-details")].toArray();
        details.append(QJsonObject{{Key("result-type"), row[Key("result")]}, {Key("receiving-mx-hostname"), row[Key("mx")]},
                                   {Key("receiving-ip"), row[Key("ip")]}, {Key("failed-session-count"), count}});
        p[Key("failure-details")] = details;
    }
    QJsonArray list;
    for (auto& [key, p] : policies) {
        QJsonObject entry{{Key("policy"), p[Key("policy")]},
                          {Key("summary"), QJsonObject{{Key("total-successful-session-count"), p[Key("ok")]},
                                                       {Key("total-failure-session-count"), p[Key("failed")]}}}};
        if (!p[Key("failure-details")].toArray().isEmpty())
            entry[Key("failure-details")] = p[Key("failure-details")];
        list.append(entry);
    }
    const QJsonObject report{{Key("organization-name"), Text(h.org)},
                             {Key("date-range"), QJsonObject{{Key("start-datetime"), Iso(h.begin)}, {Key("end-datetime"), Iso(h.end)}}},
                             {Key("contact-info"), Text(h.contact)},
                             {Key("report-id"), Text(h.id)},
                             {Key("policies"), list}};
    return QJsonDocument(report).toJson(QJsonDocument::Compact);
}

QByteArray SchemaAddress(const QByteArray& ip)
{
    const QHostAddress a(Text(ip));
    bool v4 = false;
    const quint32 four = a.toIPv4Address(&v4);
    if (v4)
        return QHostAddress(four).toString().toLatin1();
    if (a.protocol() != QAbstractSocket::IPv6Protocol)
        return ip;
    const Q_IPV6ADDR six = a.toIPv6Address();
    QByteArrayList groups;
    for (int i = 0; i < 16; i += 2)
        groups << QByteArray::number((six[i] << 8) | six[i + 1], 16);
    return groups.join(':');
}

QByteArray DmarcXml(const QByteArray& domain, const Rows& rows, const Header& h)
{
    QByteArray xml;
    QXmlStreamWriter w(&xml);
    w.setAutoFormatting(true);
    w.writeStartDocument();
    w.writeStartElement(Key("feedback"));
    w.writeTextElement(Key("version"), Key("1.0"));
    w.writeStartElement(Key("report_metadata"));
    w.writeTextElement(Key("org_name"), Text(h.org));
    w.writeTextElement(Key("email"), Text(h.contact));
    w.writeTextElement(Key("report_id"), Text(h.id));
    w.writeStartElement(Key("date_range"));
    w.writeTextElement(Key("begin"), QString::number(h.begin));
    w.writeTextElement(Key("end"), QString::number(h.end));
    w.writeEndElement();
    w.writeEndElement();
    w.writeStartElement(Key("policy_published"));
    w.writeTextElement(Key("domain"), Text(domain));
    for (const char* tag : {"adkim", "aspf", "p", "sp"})
        w.writeTextElement(Key(tag), rows.head[Key(tag)].toString());
    w.writeTextElement(Key("pct"), QString::number(rows.head[Key("pct")].toInt()));
    w.writeEndElement();
    for (const auto& [key, row] : rows.rows) {
        w.writeStartElement(Key("record"));
        w.writeStartElement(Key("row"));
        w.writeTextElement(Key("source_ip"), Text(SchemaAddress(row[Key("ip")].toString().toLatin1())));
        w.writeTextElement(Key("count"), QString::number(row[Key("count")].toInteger()));
        w.writeStartElement(Key("policy_evaluated"));
        w.writeTextElement(Key("disposition"), row[Key("disposition")].toString());
        w.writeTextElement(Key("dkim"), Key(row[Key("dkimAligned")].toBool() ? "pass" : "fail"));
        w.writeTextElement(Key("spf"), Key(row[Key("spfAligned")].toBool() ? "pass" : "fail"));
        w.writeEndElement();
        w.writeEndElement();
        w.writeStartElement(Key("identifiers"));
        w.writeTextElement(Key("envelope_from"), row[Key("envelope")].toString());
        w.writeTextElement(Key("header_from"), row[Key("from")].toString());
        w.writeEndElement();
        w.writeStartElement(Key("auth_results"));
        for (const QJsonValue& s : row[Key("dkim")].toArray()) {
            w.writeStartElement(Key("dkim"));
            for (const char* tag : {"domain", "selector", "result"})
                w.writeTextElement(Key(tag), s[Key(tag)].toString());
            w.writeEndElement();
        }
        w.writeStartElement(Key("spf"));
        for (const char* tag : {"domain", "scope", "result"})
            w.writeTextElement(Key(tag), row[Key("spf")][Key(tag)].toString());
        w.writeEndElement();
        w.writeEndElement();
        w.writeEndElement();
    }
    w.writeEndDocument();
    return xml;
}

QByteArray Gzip(const QByteArray& data)
{
    z_stream z{};
    if (deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, GzipWindow, GzipMemory, Z_DEFAULT_STRATEGY) != Z_OK)
        return {};
    QByteArray out(qsizetype(deflateBound(&z, uLong(data.size()))), Qt::Uninitialized);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.constData()));
    z.avail_in = uInt(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = uInt(out.size());
    const int rc = deflate(&z, Z_FINISH);
    out.truncate(qsizetype(z.total_out));
    deflateEnd(&z);
    return rc == Z_STREAM_END ? out : QByteArray();
}

QList<QByteArray> TlsRua(const QList<QByteArray>& records)
{
    QList<QByteArray> found;
    for (const QByteArray& r : records)
        if (r.startsWith("v=TLSRPTv1") && (r.size() == 10 || r[10] == ';' || r[10] == ' '))
            found << r;
    if (found.size() != 1)
        return {};
    for (const QByteArray& tag : found.first().split(';')) {
        const QByteArray t = tag.trimmed();
        if (t.startsWith("rua="))
            return t.mid(4).split(',');
    }
    return {};
}

QList<QByteArray> Mailboxes(const QList<QByteArray>& uris, qsizetype size)
{
    QList<QByteArray> to;
    for (QByteArray uri : uris) {
        uri = uri.trimmed();
        const qsizetype bang = uri.indexOf('!');
        const qint64 limit = bang < 0 ? -1 : SizeLimit(uri.mid(bang + 1));
        if (bang >= 0)
            uri.truncate(bang);
        if (!uri.toLower().startsWith("mailto:") || (limit >= 0 && size > limit))
            continue;
        QByteArray address = QByteArray::fromPercentEncoding(uri.mid(7));
        address.truncate(address.indexOf('?') < 0 ? address.size() : address.indexOf('?'));
        if (Plain(address) && !to.contains(address) && to.size() < MaxRecipients)
            to << address;
    }
    return to;
}

bool Authorized(Dns::Resolver& dns, const QByteArray& domain, const QByteArray& address)
{
    const QByteArray target = address.mid(address.lastIndexOf('@') + 1).toLower();
    if (Dmarc::OrganizationalDomain(target) == Dmarc::OrganizationalDomain(domain))
        return true;
    const Dns::Answer a = dns.Query(domain + "._report._dmarc." + target, Dns::Type::Txt);
    for (const QByteArray& r : a.records)
        if (Dmarc::IsRecord(r))
            return true;
    return false;
}

QByteArray Message(Kind kind, const QByteArray& domain, const Header& h, const QList<QByteArray>& to, const QByteArray& gzipped)
{
    const bool tls = kind == Kind::Tls;
    const QByteArray boundary = "=_report_" + QByteArray::number(qHash(h.id), 36);
    const QByteArray file = h.org + '!' + domain + '!' + QByteArray::number(h.begin) + '!' + QByteArray::number(h.end)
                            + (tls ? ".json.gz" : ".xml.gz");
    QByteArray m;
    m += "From: <" + h.contact + ">\r\n";
    m += "To: <" + to.join(">, <") + ">\r\n";
    m += "Subject: Report Domain: " + domain + " Submitter: " + h.org + " Report-ID: <" + h.id + ">\r\n";
    m += "Date: " + QDateTime::currentDateTime().toString(Qt::RFC2822Date).toLatin1() + "\r\n";
    m += "Message-ID: <" + h.id + ">\r\n";
    m += "Auto-Submitted: auto-generated\r\n";
    if (tls)
        m += "TLS-Report-Domain: " + domain + "\r\nTLS-Report-Submitter: " + h.org + "\r\n";
    m += "MIME-Version: 1.0\r\n";
    m += QByteArray(tls ? "Content-Type: multipart/report; report-type=\"tlsrpt\";" : "Content-Type: multipart/mixed;") + "\r\n\tboundary=\"" + boundary + "\"\r\n";
    m += "\r\nThis is a MIME-encapsulated message.\r\n\r\n";
    m += "--" + boundary + "\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n";
    m += QByteArray(tls ? "TLS" : "DMARC") + " aggregate report for " + domain + " from " + h.org + ", attached.\r\n\r\n";
    m += "--" + boundary + "\r\nContent-Type: " + (tls ? "application/tlsrpt+gzip" : "application/gzip") + "; name=\"" + file + "\"\r\n";
    m += "Content-Disposition: attachment; filename=\"" + file + "\"\r\nContent-Transfer-Encoding: base64\r\n\r\n";
    m += Base64Lines(gzipped);
    m += "\r\n--" + boundary + "--\r\n";
    return m;
}

}
