#include "store/Recipient.h"
#include "core/Failure.h"
#include "core/Settings.h"
#include "core/TextDatabase.h"
#include "core/mdlCommon.h"
#include "mail/Domain.h"
#include "store/Aliases.h"
#include "store/MailStore.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QNetworkInterface>
#include <algorithm>
#include <arpa/inet.h>

namespace {

// The mailbox that takes postmaster's mail: the setting Postmaster, else the first account's.
QString PostmasterFolder(const QString& setting)
{
    QString box = setting;
    if (box.isEmpty()) {
        try {
            const auto r = mdlCommon::DbConnection().Execute(QStringLiteral("Select MailID From Users.txt"), {});
            if (!r.rows.isEmpty())
                box = r.rows.first().value(0);
        } catch (const Failure& f) {
            mdlCommon::Report(QStringLiteral("Postmaster: cannot read the accounts: %1").arg(QString::fromUtf8(f.text())));
        }
    }
    return box.isEmpty() ? QString() : MailStore::MailboxFolder(box);
}

}

Recipient Classify(const Settings& settings, const QByteArray& address)
{
    const Mail::Address a = Mail::Address::Parse(address);
    Recipient r;
    // An address without a domain is the served domain's (RFC 5321 4.1.1.3 has <Postmaster> so).
    const Mail::Domain domain = a.hasDomain ? a.domain : Mail::Domain(QByteArrayView(mdlCommon::ServerDomain.toUtf8()));
    r.domain = domain.Name();
    r.local = domain.IsServed(mdlCommon::ServerDomain);
    if (!r.local)
        return r;
    const QString localPart = QString::fromUtf8(a.local);
    r.folder = localPart.compare(QLatin1String("postmaster"), Qt::CaseInsensitive) == 0 ? PostmasterFolder(settings.Postmaster)
                                                                                      : MailStore::FolderForLocalPart(localPart);
    // An account's own mailbox first: an alias cannot take another account's mail.
    if (r.folder.isEmpty())
        if (const QString id = Aliases::MailIdOf(settings, localPart); !id.isEmpty())
            r.folder = MailStore::MailboxFolder(id);
    return r;
}

namespace {
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
    const QByteArray d = Mail::Domain(domain).Name();
    if (d == "localhost" || d.endsWith(".localhost") || (!hostName.isEmpty() && d == Mail::Domain(hostName).Name())
        || d == Mail::Domain(QHostInfo::localHostName().toUtf8()).Name())
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
