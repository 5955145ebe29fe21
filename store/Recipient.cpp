#include "store/Recipient.h"
#include "store/MailStore.h"
#include "core/mdlCommon.h"

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

bool BadAddress(const QByteArray& address)
{
    if (address.size() > MaxAddress)
        return true;
    for (const char ch : address)
        if (uchar(ch) < 0x20 || uchar(ch) == 0x7f)
            return true;
    return false;
}
