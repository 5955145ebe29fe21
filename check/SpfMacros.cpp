// SPF macros: the macro-string syntax of RFC 7208 7.1 and the expansion of 7.3 and 7.4.
#include "check/SpfMacros.h"
#include "mail/Domain.h"

#include <QByteArrayList>
#include <algorithm>

namespace Spf {

namespace {

// A macro's digit count above this keeps every part anyway; the cap keeps the number from
// overflowing.
constexpr qint64 DigitsCap = 1000;

char Lower(char c) { return c >= 'A' && c <= 'Z' ? char(c + 32) : c; }

// toplabel = ( *alphanum ALPHA *alphanum ) / ( 1*alphanum "-" *( alphanum / "-" ) alphanum )
bool TopLabel(QByteArrayView s)
{
    if (s.isEmpty())
        return false;
    bool alpha = false, dash = false;
    for (const char c : s) {
        if (Alpha(c))
            alpha = true;
        else if (c == '-')
            dash = true;
        else if (!Digit(c))
            return false;
    }
    return dash ? s.front() != '-' && s.back() != '-' : alpha;
}

// The macro-expand "%{...}" whose "{" is at `k`: its "}" in `end`, false on a syntax error.
bool ParseExpand(QByteArrayView s, qsizetype k, bool explain, Piece& m, qsizetype& end)
{
    end = s.indexOf('}', k);
    if (end < 0 || end == k + 1)
        return false;
    m.expand = true;
    const char letter = s[k + 1];
    m.letter = Lower(letter);
    m.upper = letter != m.letter;
    if (!QByteArrayView(explain ? "slodiphcrtv" : "slodiphv").contains(m.letter))
        return false;
    qsizetype at = k + 2;
    if (at < end && Digit(s[at])) {
        qint64 n = 0;
        for (; at < end && Digit(s[at]); ++at)
            n = std::min<qint64>(n * 10 + (s[at] - '0'), DigitsCap);
        if (n == 0)   // "If a DIGIT is specified, the value MUST be nonzero"
            return false;
        m.digits = int(n);
    }
    if (at < end && Lower(s[at]) == 'r') {
        m.reverse = true;
        ++at;
    }
    for (; at < end; ++at) {
        if (!QByteArrayView(".-+,/_=").contains(s[at]))
            return false;
        m.delimiters += s[at];
    }
    return true;
}

bool Unreserved(char c) { return Alnum(c) || c == '-' || c == '.' || c == '_' || c == '~'; }

// Split at any of the delimiters, reverse, keep the right-hand parts, join with ".".
QByteArray Transform(const Piece& piece, const QByteArray& value)
{
    const QByteArray delimiters = piece.delimiters.isEmpty() ? QByteArray(".") : piece.delimiters;
    QByteArrayList parts{QByteArray()};
    for (const char c : value) {
        if (delimiters.contains(c))
            parts << QByteArray();
        else
            parts.last() += c;
    }
    if (piece.reverse)
        std::reverse(parts.begin(), parts.end());
    if (piece.digits && piece.digits < parts.size())
        parts = parts.mid(parts.size() - piece.digits);
    return parts.join('.');
}

// A macro letter in upper case: URL-escaped (7.3).
QByteArray Escaped(const QByteArray& value)
{
    QByteArray escaped;
    for (const char c : value) {
        if (Unreserved(c))
            escaped += c;
        else
            escaped += '%' + QByteArray::number(uchar(c), 16).rightJustified(2, '0').toUpper();
    }
    return escaped;
}

}

bool ParseMacros(QByteArrayView s, bool explain, Pieces& out)
{
    out.clear();
    const auto literal = [&out](QByteArrayView text, bool expand) {
        if (expand || out.empty() || out.back().letter || out.back().expand)
            out.push_back(Piece{});
        out.back().literal += text;
        out.back().expand = expand;
    };
    for (qsizetype k = 0; k < s.size(); ++k) {
        const char c = s[k];
        if (c != '%') {
            // macro-literal = %x21-24 / %x26-7E; an explain-string has SP between them
            if ((c < 0x21 || c > 0x7e) && !(explain && c == ' '))
                return false;
            literal(s.sliced(k, 1), false);
            continue;
        }
        if (++k == s.size())
            return false;
        switch (s[k]) {
        case '%': literal("%", true); continue;
        case '_': literal(" ", true); continue;
        case '-': literal("%20", true); continue;
        case '{': break;
        default: return false;
        }
        Piece m;
        qsizetype end = 0;
        if (!ParseExpand(s, k, explain, m, end))
            return false;
        out.push_back(m);
        k = end;
    }
    return true;
}

bool ParseTargetDomain(QByteArrayView s, Pieces& out)
{
    if (!ParseMacros(s, false, out) || out.empty())
        return false;
    if (out.back().expand)
        return true;
    QByteArrayView tail = out.back().literal;   // the literal text after the last macro-expand
    if (tail.endsWith('.'))
        tail.chop(1);
    const qsizetype dot = tail.lastIndexOf('.');
    return dot >= 0 && TopLabel(tail.sliced(dot + 1));
}

namespace {

QByteArray Text(const Piece& piece, const MacroValue& value)
{
    if (!piece.letter)
        return piece.literal;
    QByteArray text = value(piece.letter);
    if (piece.digits || piece.reverse || !piece.delimiters.isEmpty())
        text = Transform(piece, text);
    return piece.upper ? Escaped(text) : text;
}

}

QByteArray Expand(const Pieces& pieces, const MacroValue& value, qsizetype most)
{
    QByteArray out;
    for (auto piece = pieces.begin(); piece != pieces.end() && out.size() <= most; ++piece)
        out += Text(*piece, value);
    out.truncate(most);
    return out;
}

QByteArray ExpandTarget(const Pieces& pieces, const MacroValue& value)
{
    // Labels are taken off the left, so only the end counts: a final dot and a name one longer
    // than what may be asked.
    constexpr qsizetype Tail = MaxNameLength + 2;
    QByteArray name;
    for (auto piece = pieces.rbegin(); piece != pieces.rend() && name.size() <= Tail; ++piece)
        name.prepend(Text(*piece, value));
    name = Mail::WithoutFinalDot(name.right(Tail));
    while (name.size() > MaxNameLength) {
        const qsizetype dot = name.indexOf('.');
        if (dot < 0)
            break;
        name.remove(0, dot + 1);
    }
    return name;
}

}
