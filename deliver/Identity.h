#pragma once
// What a message says of its author, read the way mail readers read it: the mailboxes of its
// From: fields, and the Date: and Message-ID: that a submitted message must carry (RFC 6409 8).
#include <QByteArray>
#include <QByteArrayView>
#include <QList>

namespace Identity {

// The values of the header fields named `name` (any letter case), unfolded. The header ends at
// the first empty line; a line that is no field does not end it here, so nothing a reader
// might still take for a field after it is missed.
QList<QByteArray> FieldValues(const QByteArray& text, QByteArrayView name);

// The addresses of an address list (RFC 5322 3.4): angle addresses, bare addresses, the
// members of groups; display names and comments left out. False when a quote, comment or
// angle bracket is left open: nobody could say which address it shows.
bool Mailboxes(QByteArrayView value, QList<QByteArray>& addresses);

// The fields a submitted message lacks, ready to go on top of it: "Date: …" and
// "Message-ID: <…@host>", each with CR LF; "" when it has both.
QByteArray MissingFields(const QByteArray& text, const QByteArray& host);

}
