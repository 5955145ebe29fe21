#include "core/TextHelper.h"
#include "core/Failure.h"

namespace {
Failure Missing(const QByteArray& delimiter)
{
    QString name = delimiter == "\r\n" ? QStringLiteral("CR LF")
                 : delimiter == " "    ? QStringLiteral("blank")
                                       : QString::fromUtf8(delimiter);
    return Failure(Err::InvalidArgument,
                   QStringLiteral("Invalid procedure call or argument (no %1)").arg(name));
}
}

namespace TextHelper {
QByteArray TextBetween(const QByteArray& text, const QByteArray& opening, const QByteArray& closing)
{
    const qsizetype start = text.indexOf(opening);
    if (start < 0)
        throw Missing(opening);
    const qsizetype from = start + opening.size();
    const qsizetype end = text.indexOf(closing, from);
    if (end < 0)
        throw Missing(closing);
    return text.mid(from, end - from);
}

QByteArray Printable(const QByteArray& text, qsizetype max, bool blanks)
{
    QByteArray out = (blanks ? text.simplified() : text).left(max);
    const uchar least = blanks ? 0x20 : 0x21;
    for (char& ch : out)
        if (uchar(ch) < least || uchar(ch) > 0x7e) ch = '?';
    return out;
}


QByteArray LineAt(const QByteArray& text, qsizetype pos, qsizetype* next)
{
    const qsizetype lf = text.indexOf('\n', pos);
    *next = lf < 0 ? text.size() : lf + 1;
    if (lf < 0 || (lf > pos && text[lf - 1] == '\r'))
        return text.mid(pos, *next - pos);
    return text.mid(pos, lf - pos) + "\r\n";
}

}
