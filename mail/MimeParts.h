#pragma once
// The part tree of a message (RFC 2045, 2046): where each part's header and body lie in the
// text, its type, parameters and content fields, and the parts inside it. A message may hold
// anything: depth and count are bounded, and a multipart that cannot be split is shown as
// one opaque part.
#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <utility>
#include <vector>

namespace Mime {

using Params = std::vector<std::pair<QByteArray, QByteArray>>;   // names upper case

// A parenthesised structure value such as Content-Type or Content-Disposition: the value
// before the first ";" (lower case, comments and blanks left out) and the parameters.
struct Structured {
    QByteArray value;
    Params params;
    QByteArray Param(QByteArrayView name) const;   // "" when not there
};
Structured ParseStructured(QByteArrayView field);

struct Part {
    // The header from `begin`, the body from `bodyStart` up to `end` (offsets in the message).
    qsizetype begin = 0, bodyStart = 0, end = 0;
    QByteArray type = "text", subtype = "plain";   // lower case
    Params params;
    // The fields' values as written, null when absent; `encoding` in lower case.
    QByteArray id, description, encoding, md5, language, location;
    bool hasDisposition = false;
    Structured disposition;
    // The parts of a multipart; the one message inside a message/rfc822 part.
    std::vector<Part> children;

    bool Multipart() const { return type == "multipart"; }
    bool Message() const { return type == "message" && (subtype == "rfc822" || subtype == "global"); }
    qsizetype BodySize() const { return end - bodyStart; }
};

// Nesting and part count past which a message is not split further.
constexpr int MaxDepth = 32;
constexpr int MaxParts = 1000;

// The tree of a whole message (the root is the message itself).
Part ParseTree(QByteArrayView message);

// Past blanks and comments from `i`; a quoted string from its opening quote, quoted pairs undone.
void SkipCfws(QByteArrayView v, qsizetype& i);
QByteArray Quoted(QByteArrayView v, qsizetype& i);

// A body with its transfer encoding ("base64", "quoted-printable", "7bit"...) undone;
// false when the encoding is unknown.
bool Undo(QByteArrayView encoding, QByteArrayView body, QByteArray* out);
// A header value with its encoded words (RFC 2047) decoded.
QString DecodeWords(QByteArrayView value);
// The message's text parts with transfer encodings and charsets undone, one after the other.
QString BodyText(const QByteArray& message);
// Bytes in a charset as text (UTF-8, or Latin-1 when the charset is unknown to Qt).
QString InCharset(QByteArrayView charset, QByteArrayView bytes);

}
