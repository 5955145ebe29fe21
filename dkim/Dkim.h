#pragma once
// DKIM signatures (RFC 6376, rsa-sha256; ed25519-sha256 of RFC 8463 beside it) on the mail
// that leaves in the served domain's name, so that receivers can tell it came from here.
// Canonicalisation and header parsing are ours; keys, hashes and signatures are OpenSSL's.
#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <functional>
#include <vector>

struct Settings;

namespace Dkim {

// One header field: its name as written, and the whole field with its folding and CR LF.
struct Field {
    QByteArray name;
    QByteArray raw;
};

// The header fields of a message text as stored (dot-stuffed as received: one leading dot of
// a line is not the message's) and where its body starts. False when a line of the header is
// neither a field nor the continuation of one: a verifier could not read it either.
bool ParseHeader(const QByteArray& text, std::vector<Field>& fields, qsizetype& bodyStart);

// The relaxed form of one field (RFC 6376 3.4.2), ending in CR LF.
QByteArray RelaxedHeader(QByteArrayView field);

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

// The names h= lists: each field worth signing as often as it is present, From once more,
// so that nobody can add a From the signature would not cover.
QList<QByteArray> SignedNames(const std::vector<Field>& fields);

// The domain of the first mailbox of an address field's value ("" when it has none), lower
// case and without a final dot; quoted display names and comments do not count.
QByteArray MailboxDomain(QByteArrayView value);
// The same for an envelope address.
QByteArray AddressDomain(QByteArrayView address);
// Whether a domain is the served one.
bool Served(const QByteArray& domain);

// Reads the keys the settings name (DkimKey, DkimEd25519Key, their selectors). A key file
// others may read, or one that cannot be read, is left out. Returns the lines for the log.
QList<QByteArray> Load(const Settings& settings);
// Forgets the keys; nothing is signed.
void Unload();
// Whether a key was loaded.
bool Enabled();

// The DKIM-Signature fields that go on top of a stored message `text`, signed at `now`
// (seconds since the epoch) for the served domain: when `senderOurs`, or when its From: is in
// the served domain. `header` is "" when the message is not signed; `error` then says why,
// if it is a fault rather than foreign mail.
struct Signature {
    QByteArray header;
    QByteArray summary;   // "d=<domain> s=<selector> (<algorithms>)" for the log
    QByteArray error;
};
Signature Sign(const QByteArray& text, qint64 now, bool senderOurs);

// A new 2048-bit RSA key in `<folder>/<selector>.private`, its owner's alone, never over an
// existing file. Returns the DNS TXT record that publishes its public half for `domain`.
// Throws Failure.
QByteArray MakeKey(const QString& folder, const QByteArray& selector, const QByteArray& domain);
// Whether text may be a selector: DNS labels of letters, digits and hyphens.
bool ValidSelector(const QByteArray& selector);

}
