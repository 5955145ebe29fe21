#pragma once
// A message as IMAP shows it: its envelope, its body structure, its sections and their decoded
// content. The text is the message as its sender wrote it (CR LF lines, not dot-stuffed).
#include <QByteArray>
#include <QByteArrayView>
#include <optional>

namespace Mime {

// An IMAP string: quoted when it can be, a literal otherwise, NIL for a null array.
QByteArray String(const QByteArray& value);
// The ENVELOPE list: date, subject, from, sender, reply-to, to, cc, bcc, in-reply-to, message-id.
QByteArray Envelope(const QByteArray& message);
// The BODYSTRUCTURE list (`extended`) or the BODY one, single part, multipart and
// message/rfc822 alike.
QByteArray BodyStructure(const QByteArray& message, bool extended);
// The bytes of BODY[section]: "" (all), "HEADER", "TEXT", "HEADER.FIELDS (A B)",
// "HEADER.FIELDS.NOT (A B)", "1", "1.2", "1.2.MIME", "2.HEADER", "2.TEXT"... A part that is not
// there gives an empty section; a malformed section gives nullopt.
std::optional<QByteArray> Section(const QByteArray& message, QByteArrayView section);
// BINARY[part]: the part's content with its transfer encoding undone; nullopt when the
// encoding is unknown (the reply is then NO [UNKNOWN-CTE]).
std::optional<QByteArray> Binary(const QByteArray& message, QByteArrayView part);

}
