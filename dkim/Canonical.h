#pragma once
// The canonical forms DKIM signs and verifies (RFC 6376 3.4): of one header field, and of a
// body as stored (dot-stuffed as received: one leading dot of a line is not the message's);
// the body hash. Hashes are OpenSSL's.
#include <QByteArray>
#include <QByteArrayView>
#include <functional>

namespace Dkim {

// The relaxed form of one field (3.4.2), ending in CR LF.
QByteArray RelaxedHeader(QByteArrayView field);
// The simple form of one field (3.4.1): as it is, a bare LF as CR LF.
QByteArray SimpleHeader(const QByteArray& raw);

// The relaxed form of a stored body (3.4.4), handed to `sink` in pieces as it is made, so that
// a large body is hashed without a second copy of it.
void RelaxedBody(QByteArrayView stored, const std::function<void(QByteArrayView)>& sink);
QByteArray RelaxedBody(QByteArrayView stored);

// The simple form of a stored body (3.4.3): the lines as they are (a bare LF ends a line as CR LF
// does, as in the relaxed form), without the stuffed dot and the empty lines at the end; one
// CR LF for an empty body.
void SimpleBody(QByteArrayView stored, const std::function<void(QByteArrayView)>& sink);
QByteArray SimpleBody(QByteArrayView stored);

// The SHA-256 of the relaxed or simple form of a stored body (3.7): of its first `limit` octets
// when `limit` is not negative (l=). `length`, when given, gets the length of the whole form.
// "" when OpenSSL fails.
QByteArray BodyHash(QByteArrayView stored, bool relaxed, qint64 limit = -1, qint64* length = nullptr);

// The SHA-256 of `data`; "" when OpenSSL fails.
QByteArray Sha256(QByteArrayView data);

}
