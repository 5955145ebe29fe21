#include "core/TextHelper.h"
#include "core/Failure.h"

#include <QList>
#include <cstring>

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

QByteArray LineEnd(QByteArrayView line) { return line.endsWith("\r\n") ? "\r\n" : line.endsWith('\n') ? "\n" : ""; }

qsizetype WordAt(QByteArrayView line, QByteArrayView word)
{
    qsizetype at = 0;   // white space as simplified() sees it
    while (at < line.size() && std::strchr(" \t\n\v\f\r", line[at]) && line[at] != '\0')
        ++at;
    return line.size() - at >= word.size() && qstrnicmp(line.data() + at, word.size(), word.data(), word.size()) == 0 ? at : -1;
}

QByteArray HiddenFrom(QByteArrayView line, qsizetype from)
{
    if (line.sliced(from).trimmed().isEmpty())
        return {};
    return line.first(from).toByteArray() + " ********" + LineEnd(line);
}

QByteArray KeepWords(QByteArrayView line, qsizetype keep)
{
    const QList<QByteArray> words = line.toByteArray().simplified().split(' ');
    if (words.size() <= keep || words.value(keep).isEmpty())
        return {};
    QByteArray out;
    for (qsizetype i = 0; i < keep; ++i)
        out += words[i] + ' ';
    return out + "********" + LineEnd(line);
}

}
