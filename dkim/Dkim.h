#pragma once
// DKIM signatures (RFC 6376, rsa-sha256; ed25519-sha256 of RFC 8463 beside it) on the mail
// that leaves in the served domain's name, so that receivers can tell it came from here.
// Canonicalisation is ours (dkim/Canonical.h), the header mail/'s; keys, hashes and
// signatures are OpenSSL's.
#include "dkim/Canonical.h"
#include "mail/Header.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <vector>

struct Settings;

namespace Dkim {

// The names h= lists: each field worth signing as often as it is present, From once more,
// so that nobody can add a From the signature would not cover.
QList<QByteArray> SignedNames(const std::vector<Mail::Field>& fields);

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
