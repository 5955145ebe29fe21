#pragma once
#include <QByteArray>
#include <QByteArrayView>

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
// How much of a peer's words a line of ours shows: a domain name (its longest), a value or
// address, a reason or comment, a DKIM selector and algorithm.
inline constexpr qsizetype ShownDomain = 255, ShownValue = 256, ShownReason = 200, ShownSelector = 64, ShownAlgorithm = 32;

// The end of a line: CR LF, a bare LF, or none.
QByteArray LineEnd(QByteArrayView line);

// `text` with some of its lines replaced: `replace` sees each line up to and with its end (a
// bare LF ends one too, as it ends a command line; the last may have no end) and returns what
// stands for it, or a null QByteArray to keep it. Returns `text` itself, not a copy, when no
// line changed.
template <class Replace>
QByteArray ReplaceLines(const QByteArray& text, Replace&& replace)
{
    QByteArray out;
    qsizetype kept = 0;   // text before this is in `out`
    for (qsizetype pos = 0; pos < text.size();) {
        qsizetype eol = text.indexOf('\n', pos);
        eol = eol < 0 ? text.size() : eol + 1;
        if (const QByteArray instead = replace(QByteArrayView(text).sliced(pos, eol - pos)); !instead.isNull()) {
            out += QByteArrayView(text).sliced(kept, pos - kept);
            out += instead;
            kept = eol;
        }
        pos = eol;
    }
    if (kept == 0)
        return text;
    out += QByteArrayView(text).sliced(kept);
    return out;
}

// Where a command word starts in a line when the line, white space before it skipped, starts
// with `word` (upper case) in any letter case; -1 otherwise.
qsizetype WordAt(QByteArrayView line, QByteArrayView word);

// The line up to `from`, then " ********" and its CR LF; a null QByteArray when nothing but
// white space follows `from`.
QByteArray HiddenFrom(QByteArrayView line, qsizetype from);

// The line's first `keep` words and "********" for the rest, its CR LF kept; a null
// QByteArray when it has no more words than that.
QByteArray KeepWords(QByteArrayView line, qsizetype keep);

}
