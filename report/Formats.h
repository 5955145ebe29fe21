#pragma once
// The two aggregate reports as their readers take them: TLS-RPT JSON (RFC 8460 section 4),
// DMARC XML (RFC 7489 section 7.2 and its Appendix C), gzip-compressed, in a message with the
// subject and parts each RFC names; and the addresses they go to.
#include "dns/Resolver.h"
#include "report/Book.h"

#include <QByteArray>
#include <QList>

namespace Report {

// Most addresses one report goes to: the first ones of rua=, in order.
inline constexpr int MaxRecipients = 5;

// Who sends the reports and when the period ran.
struct Header {
    QByteArray org;       // the organisation: our domain
    QByteArray contact;   // the report address
    QByteArray id;        // the report's own id
    qint64 begin = 0, end = 0;
};

QByteArray TlsJson(const QByteArray& domain, const Rows& rows, const Header& h);
QByteArray DmarcXml(const QByteArray& domain, const Rows& rows, const Header& h);
// A source address as the XML schema takes it: IPv4 dotted, IPv6 in all eight groups.
QByteArray SchemaAddress(const QByteArray& ip);
QByteArray Gzip(const QByteArray& data);

// The rua= URIs of the TLS reporting record of a domain among its _smtp._tls TXT records
// (RFC 8460 3): none unless exactly one record starts with "v=TLSRPTv1".
QList<QByteArray> TlsRua(const QList<QByteArray>& records);
// The addresses of the mailto: URIs, without their "?..." part; a DMARC URI's "!size" leaves it out
// when `size` bytes are more. Other schemes are skipped. At most MaxRecipients, each once.
QList<QByteArray> Mailboxes(const QList<QByteArray>& uris, qsizetype size);
// Whether `address` may have the reports of `domain` (RFC 7489 7.1): it is in the same
// organisational domain, or its domain publishes "<domain>._report._dmarc.<its domain>".
// Blocks on DNS.
bool Authorized(Dns::Resolver& dns, const QByteArray& domain, const QByteArray& address);

enum class Kind { Tls, Dmarc };
// The whole message, header and body, its report attached under RFC 8460 5.3's or RFC 7489
// 7.2.1.1's name.
QByteArray Message(Kind kind, const QByteArray& domain, const Header& h, const QList<QByteArray>& to, const QByteArray& gzipped);

}
