#pragma once
#include <QByteArray>

// Takes command arguments out of received protocol text.
namespace TextHelper {
// The characters after the first `opening` and before the first `closing` that
// follows it. Throws Failure when either delimiter is missing.
QByteArray TextBetween(const QByteArray& text, const QByteArray& opening, const QByteArray& closing);

// The line of `text` that starts at `pos`, its end (a bare LF too) as CR LF, and where the
// next one starts; a line without an end is taken as it is.
QByteArray LineAt(const QByteArray& text, qsizetype pos, qsizetype* next);

// A peer's words in a line of ours (a header field, the log, a queue file): printable ASCII
// only, anything else '?', at most `max` bytes. With `blanks`, runs of white space become
// one blank; without, a blank is not printable either.
QByteArray Printable(const QByteArray& text, qsizetype max, bool blanks);

}
