#pragma once
// The DNS records an operator publishes for the settings in place (MX, SPF, DKIM, DMARC, MTA-STS,
// TLS reporting, TLSA), in zone-file form, each marked against what DNS has now.
#include "dkim/KeyFiles.h"

#include <QByteArray>
#include <QList>
#include <vector>

struct Settings;
namespace Dns {
class Resolver;
}

namespace DnsRecords {

struct Record {
    QByteArray name;   // absolute, without the final dot
    QByteArray type;   // "MX", "TXT", "CNAME", "TLSA"
    QByteArray data;   // a TXT value unquoted; names without the final dot
};

// What the server has beside the settings: the signing keys, and the SHA-256 of the current
// certificate's public key ("" without one), as hex.
struct Facts {
    std::vector<Dkim::Key> dkim;
    QByteArray certificateKeyHash;
    QByteArray stsPolicyId;   // the id of the MTA-STS policy served
};

QList<Record> Wanted(const Settings& settings, const Facts& facts);

// "ok", "differs" or "missing": the record against what `dns` answers now.
QByteArray Mark(const Record& record, Dns::Resolver& dns);

// A record as a zone file line, TTL one hour.
QByteArray ZoneLine(const Record& record);

// The SHA-256 of a PEM certificate file's public key (its SubjectPublicKeyInfo), as hex; "" when
// the file holds no certificate.
QByteArray CertificateKeyHash(const QString& path);

}
