// The public suffix list through libpsl.
#include "check/PublicSuffix.h"

#include <QList>
#include <QUrl>
#include <libpsl.h>

namespace PublicSuffix {

namespace {

bool Ascii(const QByteArray& text)
{
    for (const char c : text)
        if (uchar(c) >= 0x80)
            return false;
    return true;
}

// A-labels for every label in Unicode; "" when one cannot be converted.
QByteArray Ace(const QByteArray& name)
{
    QList<QByteArray> labels = name.split('.');
    for (QByteArray& label : labels) {
        if (Ascii(label))
            continue;
        label = QUrl::toAce(QString::fromUtf8(label));
        if (label.isEmpty())
            return {};
    }
    return labels.join('.').toLower();
}

// psl_latest() rather than psl_builtin(): the newer of the list Debian's publicsuffix package
// keeps up to date and the one built into the library, so a list updated on this machine counts
// without a rebuild, and the built-in one still serves when the package's file is missing.
// Loaded once (thread-safe) and kept for the life of the process: checks on other threads
// may still ask while it ends.
const psl_ctx_t* List()
{
    static const psl_ctx_t* const list = psl_latest(nullptr);
    return list;
}

}

QByteArray Normalized(const QByteArray& domain)
{
    QByteArray d = domain.trimmed().toLower();
    if (d.endsWith('.'))
        d.chop(1);
    if (!Ascii(d)) {
        const QByteArray ace = Ace(d);
        if (!ace.isEmpty())
            d = ace;
    }
    return d;
}

QByteArray OrganizationalDomain(const QByteArray& domain)
{
    const QByteArray d = Normalized(domain);
    if (d.isEmpty())
        return d;
    // NULL for a public suffix itself (and for every name without a list: each is then its
    // own organisational domain); else a pointer into the name it was given.
    const char* const registrable = psl_registrable_domain(List(), d.constData());
    return registrable ? QByteArray(registrable) : d;
}

}
