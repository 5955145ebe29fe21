#pragma once
#include <QByteArray>

// Takes command arguments out of received protocol text.
namespace TextHelper {
// The characters after the first `opening` and before the first `closing` that
// follows it. Throws Failure when either delimiter is missing.
QByteArray TextBetween(const QByteArray& text, const QByteArray& opening, const QByteArray& closing);

// A peer's words in a line of ours (a header field, the log, a queue file): printable ASCII
// only, anything else '?', at most `max` bytes. With `blanks`, runs of white space become
// one blank; without, a blank is not printable either.
QByteArray Printable(const QByteArray& text, qsizetype max, bool blanks);

}
