// The public suffix list: its rules read once, and the longest one matching a name.
#include "check/PublicSuffix.h"

#include <QFile>
#include <QList>
#include <QUrl>

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
    if (Ascii(name))
        return name;
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

List List::FromText(const QByteArray& text)
{
    List list;
    for (const QByteArray& line : text.split('\n')) {
        const QByteArray trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith("//"))
            continue;
        QByteArray rule = trimmed;
        for (qsizetype i = 0; i < rule.size(); ++i)   // the rule ends at the first white space
            if (rule[i] == ' ' || rule[i] == '\t') {
                rule.truncate(i);
                break;
            }
        rule = rule.toLower();
        QSet<QByteArray>* set = &list.rules_;
        if (rule.startsWith('!')) {
            rule.remove(0, 1);
            set = &list.exceptions_;
        } else if (rule.startsWith("*.")) {
            rule.remove(0, 2);
            set = &list.wildcards_;
        }
        if (rule.isEmpty())
            continue;
        set->insert(rule);
        if (const QByteArray ace = Ace(rule); !ace.isEmpty())
            set->insert(ace);
    }
    return list;
}

List List::FromFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return FromText(file.readAll());
}

QByteArray List::Suffix(const QByteArray& domain) const
{
    const QList<QByteArray> labels = domain.split('.');
    const auto from = [&labels](qsizetype i) {   // the name of labels i.. to the end
        QByteArray name = labels[i];
        for (qsizetype k = i + 1; k < labels.size(); ++k)
            name += '.' + labels[k];
        return name;
    };
    // The longest match first; an exception wins over any other rule.
    for (qsizetype i = 0; i < labels.size(); ++i)
        if (i + 1 < labels.size() && exceptions_.contains(from(i)))
            return from(i + 1);
    for (qsizetype i = 0; i < labels.size(); ++i) {
        const QByteArray name = from(i);
        if (rules_.contains(name) || (i + 1 < labels.size() && wildcards_.contains(from(i + 1))))
            return name;
    }
    return labels.last();
}

QByteArray List::OrganizationalDomain(const QByteArray& domain) const
{
    const QByteArray d = Normalized(domain);
    if (d.isEmpty())
        return d;
    const QByteArray suffix = Empty() ? d.mid(d.lastIndexOf('.') + 1) : Suffix(d);
    const qsizetype before = d.size() - suffix.size() - 2;   // the end of the label before the suffix
    if (before < 0)
        return d;   // a public suffix itself
    const qsizetype dot = d.lastIndexOf('.', before);
    return d.mid(dot + 1);
}

const List& Debian()
{
    static const List list = List::FromFile(QString::fromLatin1(DebianPath));
    return list;
}

}
