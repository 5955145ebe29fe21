#include "app/DnsRecords.h"
#include "core/Settings.h"
#include "dkim/Dkim.h"
#include "dns/Resolver.h"
#include "dns/Zone.h"
#include "relay/RelayHost.h"
#include "report/Reports.h"

#include <QCryptographicHash>
#include <QFile>
#include <QHostAddress>
#include <QSet>
#include <QSslCertificate>
#include <openssl/x509.h>

namespace DnsRecords {
namespace {

constexpr int Ttl = 3600;
constexpr int MxPreference = 10;

QByteArray Lower(const QString& text) { return text.trimmed().toLower().toUtf8(); }

// The SPF mechanism that names a relay host: its address, or its name.
QByteArray SpfOf(const QString& relayHost)
{
    const QByteArray host = relayHost.toUtf8();
    if (QHostAddress address; address.setAddress(relayHost))
        return (address.protocol() == QAbstractSocket::IPv6Protocol ? "ip6:" : "ip4:") + host;
    return "a:" + host;
}

// A TXT value as a list of what matters: tags (lower-case names, values without spaces), sorted;
// for SPF its terms in lower case, in order.
QList<QByteArray> Normal(const QByteArray& value)
{
    QList<QByteArray> parts;
    if (value.startsWith("v=spf1")) {
        for (const QByteArray& term : value.simplified().toLower().split(' '))
            parts << term;
        return parts;
    }
    for (const QByteArray& tag : value.split(';')) {
        const qsizetype eq = tag.indexOf('=');
        if (eq < 0)
            continue;
        QByteArray v = tag.mid(eq + 1);
        v.replace(' ', "").replace('\t', "");
        parts << tag.left(eq).trimmed().toLower() + '=' + v;
    }
    std::sort(parts.begin(), parts.end());
    return parts;
}

// The first tag of a TXT value ("v=spf1", "v=DMARC1"...), which says what kind of record it is.
QByteArray Kind(const QByteArray& value) { return value.left(value.indexOf(value.startsWith("v=spf1") ? ' ' : ';')).trimmed().toLower(); }

QByteArray MarkTxt(const Record& record, const Dns::Answer& answer)
{
    const bool dkim = record.name.contains("._domainkey.");   // the name is the key's alone
    bool seen = false;
    for (const QByteArray& txt : answer.records) {
        if (!dkim && Kind(txt) != Kind(record.data))
            continue;
        if (Normal(txt) == Normal(record.data))
            return "ok";
        seen = true;
    }
    return seen ? "differs" : "missing";
}

QSet<QByteArray> Addresses(Dns::Resolver& dns, const QByteArray& name)
{
    QSet<QByteArray> all;
    for (const Dns::Type type : {Dns::Type::A, Dns::Type::Aaaa})
        for (const QByteArray& address : dns.Query(name, type).records)
            all.insert(address);
    return all;
}

}

QByteArray CertificateKeyHash(const QString& path)
{
    const QList<QSslCertificate> chain = QSslCertificate::fromPath(path, QSsl::Pem);
    if (chain.isEmpty() || !chain.first().handle())
        return {};
    unsigned char* der = nullptr;
    const int length = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(static_cast<X509*>(chain.first().handle())), &der);
    if (length <= 0)
        return {};
    const QByteArray hash = QCryptographicHash::hash(QByteArrayView(der, length), QCryptographicHash::Sha256).toHex();
    OPENSSL_free(der);
    return hash;
}

QList<Record> Wanted(const Settings& settings, const Facts& facts)
{
    const QByteArray domain = Lower(settings.ServerDomain), host = Lower(settings.HostName);
    const QByteArray reports = "mailto:" + Reports::Contact(settings);
    QList<Record> records;
    records.append({domain, "MX", QByteArray::number(MxPreference) + ' ' + host});
    const auto relay = RelayHost::Load(settings).policy;
    records.append({domain, "TXT", "v=spf1 " + (relay ? SpfOf(relay->host) : QByteArray("mx")) + " -all"});
    for (const Dkim::Key& key : facts.dkim)
        records.append({key.selector + "._domainkey." + domain, "TXT", Dkim::PublicRecord(key)});
    records.append({"_dmarc." + domain, "TXT", "v=DMARC1; p=quarantine; rua=" + reports});
    if (settings.MtaStsMode != QLatin1String("none")) {
        records.append({"mta-sts." + domain, "CNAME", host});
        records.append({"_mta-sts." + domain, "TXT", "v=STSv1; id=" + facts.stsPolicyId});
    }
    records.append({"_smtp._tls." + domain, "TXT", "v=TLSRPTv1; rua=" + reports});
    if (!facts.certificateKeyHash.isEmpty())
        records.append({"_25._tcp." + host, "TLSA", "3 1 1 " + facts.certificateKeyHash});
    return records;
}

QByteArray Mark(const Record& record, Dns::Resolver& dns)
{
    if (record.type == "TXT")
        return MarkTxt(record, dns.Query(record.name, Dns::Type::Txt));
    if (record.type == "MX") {
        const Dns::Answer answer = dns.Query(record.name, Dns::Type::Mx);
        const QByteArray host = record.data.mid(record.data.indexOf(' ') + 1);
        for (const QByteArray& mx : answer.records)
            if (mx.mid(mx.indexOf(' ') + 1).toLower() == host)
                return "ok";
        return answer.records.isEmpty() ? "missing" : "differs";
    }
    if (record.type == "CNAME") {   // the alias, or as good: the same addresses as its target
        const QList<QByteArray> alias = dns.Query(record.name, Dns::Type::Cname).records;
        if (!alias.isEmpty())
            return alias.contains(record.data) ? "ok" : "differs";
        const QSet<QByteArray> have = Addresses(dns, record.name);
        return have.isEmpty() ? "missing" : have == Addresses(dns, record.data) ? "ok" : "differs";
    }
    const Dns::Answer tlsa = dns.Query(record.name, Dns::Type::Tlsa);
    return tlsa.records.contains(record.data) ? "ok" : tlsa.records.isEmpty() ? "missing" : "differs";
}

QByteArray ZoneLine(const Record& record)
{
    QByteArray data = record.data;
    if (record.type == "TXT")
        data = Dns::Quoted(data);
    else if (record.type == "MX" || record.type == "CNAME")
        data += '.';
    return record.name + ". " + QByteArray::number(Ttl) + " IN " + record.type + ' ' + data;
}

}
