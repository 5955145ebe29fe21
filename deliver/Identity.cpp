#include "deliver/Identity.h"

#include <QDateTime>
#include <QRandomGenerator>

namespace Identity {
namespace {
bool Blank(char c) { return c == ' ' || c == '\t'; }
}

QList<QByteArray> FieldValues(const QByteArray& text, QByteArrayView name)
{
    QList<QByteArray> values;
    bool inField = false;   // the line before was one of ours: a folded line goes on with it
    for (qsizetype pos = 0; pos < text.size();) {
        const qsizetype lf = text.indexOf('\n', pos);
        const qsizetype end = lf < 0 ? text.size() : lf + 1;
        const qsizetype from = text[pos] == '.' ? pos + 1 : pos;   // a stuffed dot is not the message's
        QByteArrayView line(text.constData() + from, end - from);
        pos = end;
        if (line.isEmpty() || line == "\r\n" || line == "\n")
            break;
        while (line.endsWith('\n') || line.endsWith('\r'))
            line.chop(1);
        if (!line.isEmpty() && Blank(line[0])) {
            if (inField)
                values.last() += line;
            continue;
        }
        inField = false;
        if (line.size() < name.size() || line.first(name.size()).compare(name, Qt::CaseInsensitive) != 0)
            continue;
        qsizetype colon = name.size();
        while (colon < line.size() && Blank(line[colon]))
            ++colon;
        if (colon < line.size() && line[colon] == ':') {
            values << line.sliced(colon + 1).toByteArray();
            inField = true;
        }
    }
    return values;
}

bool Mailboxes(QByteArrayView value, QList<QByteArray>& addresses)
{
    QByteArray plain, angled, after;   // `after`: what follows an angle address in its mailbox
    bool quoted = false, literal = false, inAngle = false, seenAngle = false, twice = false;
    int comment = 0;
    const auto take = [&] {
        QByteArray a = seenAngle ? angled : plain;
        if (seenAngle && a.startsWith('@') && a.contains(':'))   // an obsolete route: @a,@b:user@host
            a = a.mid(a.indexOf(':') + 1);
        // Two addresses in one mailbox: a reader might show either.
        if (seenAngle && !after.trimmed().isEmpty())
            twice = true;
        a = a.simplified().replace(" ", "");
        if (!a.isEmpty())
            addresses << a;
        plain.clear();
        angled.clear();
        after.clear();
        seenAngle = false;
    };
    for (qsizetype i = 0; i < value.size(); ++i) {
        const char c = value[i];
        QByteArray& into = inAngle ? angled : seenAngle ? after : plain;
        if (comment > 0) {
            if (c == '\\')
                ++i;
            else if (c == '(')
                ++comment;
            else if (c == ')')
                --comment;
            continue;
        }
        if (quoted || literal) {   // a quoted local part or display name; a domain literal
            if (c == '\\' && i + 1 < value.size()) {
                into += value.sliced(i++, 2);
                continue;
            }
            into += c;
            if (c == (quoted ? '"' : ']'))
                quoted = literal = false;
            continue;
        }
        if (c == '"' || c == '[') {
            (c == '"' ? quoted : literal) = true;
            into += c;
        } else if (c == '(') {
            comment = 1;
        } else if (c == '<' && !inAngle) {
            twice = twice || seenAngle;
            inAngle = seenAngle = true;
        } else if (c == '>' && inAngle) {
            inAngle = false;
        } else if (inAngle) {
            angled += c;
        } else if (c == ',' || c == ';') {
            take();
        } else if (c == ':' && !seenAngle) {   // a group's name: its members follow
            plain.clear();
        } else {
            into += c;
        }
    }
    if (quoted || literal || comment > 0 || inAngle)
        return false;
    take();
    return !twice;
}

QByteArray MissingFields(const QByteArray& text, const QByteArray& host)
{
    QByteArray fields;
    if (FieldValues(text, "Date").isEmpty())
        fields += "Date: " + QDateTime::currentDateTime().toString(Qt::RFC2822Date).toLatin1() + "\r\n";
    if (FieldValues(text, "Message-ID").isEmpty())
        fields += "Message-ID: <" + QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMddhhmmsszzz")).toLatin1() + '.'
                  + QByteArray::number(QRandomGenerator::system()->generate64(), 36) + '@' + host + ">\r\n";
    return fields;
}

}
