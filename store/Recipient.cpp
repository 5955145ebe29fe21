#include "store/Recipient.h"
#include "store/MailStore.h"
#include "core/mdlCommon.h"

#include <QHostAddress>
#include <QNetworkInterface>
#include <algorithm>
#include <arpa/inet.h>

Recipient Classify(const QByteArray& address)
{
    const qsizetype at = address.indexOf('@');
    Recipient r;
    r.domain = at < 0 ? address : address.mid(at + 1);
    QString d = QString::fromUtf8(r.domain);
    if (d.endsWith(QLatin1Char('.')))
        d.chop(1);
    r.local = d.compare(mdlCommon::ServerDomain, Qt::CaseInsensitive) == 0;
    if (r.local && at >= 0)
        r.folder = MailStore::FolderForLocalPart(QString::fromUtf8(address.left(at)));
    return r;
}

namespace {
QByteArray WithoutFinalDot(QByteArray name)
{
    if (name.endsWith('.'))
        name.chop(1);
    return name.toLower();
}

// An address as the resolver would read it: IPv4 in any form inet_aton takes (127.1,
// 2130706433, 0x7f.1), IPv6 as written; an IPv4 address mapped into IPv6 as itself.
QHostAddress AsAddress(const QByteArray& text)
{
    in_addr v4 {};
    if (::inet_aton(text.constData(), &v4) != 0)
        return QHostAddress(ntohl(v4.s_addr));
    QHostAddress a;
    if (!text.contains(':') || !a.setAddress(QString::fromLatin1(text)))
        return {};
    bool mapped = false;
    const quint32 ip4 = a.toIPv4Address(&mapped);
    return mapped ? QHostAddress(ip4) : a;
}
}

bool ThisHost(const QByteArray& domain, const QByteArray& hostName)
{
    const QByteArray d = WithoutFinalDot(domain);
    if (d == "localhost" || d.endsWith(".localhost") || (!hostName.isEmpty() && d == WithoutFinalDot(hostName)))
        return true;
    QByteArray literal = d;
    if (d.startsWith('[') && d.endsWith(']')) {
        literal = d.mid(1, d.size() - 2);
        if (literal.startsWith("ipv6:"))
            literal = literal.mid(5);
    }
    const QHostAddress a = AsAddress(literal);
    if (a.isNull())
        return false;
    if (a.isLoopback() || a == QHostAddress(QHostAddress::AnyIPv4) || a == QHostAddress(QHostAddress::AnyIPv6))
        return true;   // a connection to the unspecified address reaches this machine too
    const QList<QHostAddress> own = QNetworkInterface::allAddresses();
    return std::any_of(own.begin(), own.end(), [&](const QHostAddress& o) { return o.isEqual(a, QHostAddress::ConvertV4MappedToIPv4); });
}

bool BadAddress(const QByteArray& address)
{
    if (address.size() > MaxAddress)
        return true;
    for (const char ch : address)
        if (uchar(ch) < 0x20 || uchar(ch) == 0x7f)
            return true;
    return false;
}
