#include "store/Recipient.h"
#include "core/Failure.h"
#include "core/TextDatabase.h"
#include "core/mdlCommon.h"
#include "store/MailStore.h"

namespace {

// The mailbox that takes postmaster's mail: the setting Postmaster, else the first account's.
QString PostmasterFolder()
{
    QString box = mdlCommon::Postmaster;
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

Recipient Classify(const QByteArray& address)
{
    const qsizetype at = address.indexOf('@');
    Recipient r;
    // An address without a domain is the served domain's (RFC 5321 4.1.1.3 has <Postmaster> so).
    r.domain = at < 0 ? mdlCommon::ServerDomain.toUtf8() : address.mid(at + 1);
    if (r.domain.endsWith('.'))
        r.domain.chop(1);   // a final dot names the same domain
    r.local = QString::fromUtf8(r.domain).compare(mdlCommon::ServerDomain, Qt::CaseInsensitive) == 0;
    if (!r.local)
        return r;
    const QString localPart = QString::fromUtf8(at < 0 ? address : address.left(at));
    r.folder = localPart.compare(QLatin1String("postmaster"), Qt::CaseInsensitive) == 0 ? PostmasterFolder()
                                                                                      : MailStore::FolderForLocalPart(localPart);
    return r;
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
