#pragma once
// SPF macros (RFC 7208 section 7): a macro-string parsed into pieces, and the pieces expanded
// with the values a check gives the macro letters. Used by the record parser and the check.
#include <QByteArray>
#include <functional>
#include <vector>

namespace Spf {

// A name the DNS can be asked: at most 253 octets (a final dot aside), labels of 1 to 63.
constexpr qsizetype MaxNameLength = 253;
constexpr qsizetype MaxLabelLength = 63;

inline bool Alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
inline bool Digit(char c) { return c >= '0' && c <= '9'; }
inline bool Alnum(char c) { return Alpha(c) || Digit(c); }

// One piece of a macro-string: literal text (with "%%", "%_" and "%-" already turned into "%",
// " " and "%20"), or a macro-expand "%{...}".
struct Piece {
    QByteArray literal;
    bool expand = false;    // a macro-expand: "%{...}", "%%", "%_" or "%-" (domain-end may be one)
    char letter = 0;        // the macro letter, lower case; 0 for literal text
    bool upper = false;     // written in upper case: URL-escaped after expansion
    int digits = 0;         // keep that many right-hand parts; 0: all
    bool reverse = false;
    QByteArray delimiters;  // "" for the default "."
};
using Pieces = std::vector<Piece>;

// Parses a macro-string (with spaces too when `explain`: an explain-string, 6.2). The letters
// c, r and t stand only in explanations (7.2). False on a syntax error.
bool ParseMacros(QByteArrayView s, bool explain, Pieces& out);

// A target domain: macros, then a final label of letters (a final dot allowed) or a macro.
bool ParseTargetDomain(QByteArrayView s, Pieces& out);

// The value of a macro letter (lower case) in the check at hand.
using MacroValue = std::function<QByteArray(char letter)>;

// The expansion, no longer than `most`: a record can repeat a macro of what the client sent
// into megabytes.
QByteArray Expand(const Pieces& pieces, const MacroValue& value, qsizetype most);

// A target domain expanded into the name to ask (7.3): no final dot, and no longer than 253
// characters, taking whole labels off the left.
QByteArray ExpandTarget(const Pieces& pieces, const MacroValue& value);

}
