#include "mail/Domain.h"

#include <QUrl>
#include <algorithm>

namespace Mail {

QByteArray WithoutFinalDot(QByteArrayView name) { return (name.endsWith('.') ? name.chopped(1) : name).toByteArray(); }

Domain::Domain(QByteArrayView name) : name_(WithoutFinalDot(name).toLower())
{
    // A name in Unicode (U-labels) is compared in the form the DNS knows (A-labels, RFC 5890).
    if (std::any_of(name_.begin(), name_.end(), [](char c) { return uchar(c) >= 0x80; }))
        if (const QByteArray ace = QUrl::toAce(QString::fromUtf8(name_)); !ace.isEmpty())
            name_ = ace;
}

bool Domain::IsServed(const QString& served) const { return !name_.isEmpty() && *this == Domain(QByteArrayView(served.toUtf8())); }

Address Address::Parse(QByteArrayView text)
{
    if (text.startsWith('<') && text.endsWith('>') && text.size() >= 2)
        text = text.sliced(1, text.size() - 2);
    if (text.startsWith('@') && text.contains(':'))   // a source route: only the mailbox counts
        text = text.sliced(text.indexOf(':') + 1);
    qsizetype at = -1;
    bool quoted = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted && c == '\\')
            ++i;
        else if (c == '"')
            quoted = !quoted;
        else if (c == '@' && !quoted)
            at = i;
    }
    Address a;
    if (at < 0) {
        a.local = text.toByteArray();
        return a;
    }
    a.local = text.first(at).toByteArray();
    a.domainText = text.sliced(at + 1).toByteArray();
    a.domain = Domain(a.domainText);
    a.hasDomain = true;
    return a;
}

}
