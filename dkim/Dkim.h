#pragma once
// DKIM signatures (RFC 6376, rsa-sha256; ed25519-sha256 of RFC 8463 beside it) on the mail
// that leaves in the served domain's name, so that receivers can tell it came from here.
// Canonicalisation is ours (dkim/Canonical.h), the header mail/'s; keys, hashes and
// signatures are OpenSSL's.
#include "dkim/Canonical.h"
#include "dkim/KeyFiles.h"
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

// The DKIM-Signature fields that go on top of a stored message. `header` is "" when the
// message is not signed; `error` then says why, if it is a fault rather than foreign mail.
struct Signature {
    QByteArray header;
    QByteArray summary;   // "d=<domain> s=<selector> (<algorithms>)" for the log
    QByteArray error;
};

// The keys mail is signed with, and the domain it is signed for. Loaded at start-up before
// anything is served; the writer threads only sign with them.
class Signer {
public:
    Signer() = default;   // no keys: nothing is signed
    // `domain` as the settings spell it; the signature names it in lower case, without a final dot.
    Signer(std::vector<Key> keys, const QString& domain);

    // Reads the keys the settings name (DkimKey, DkimEd25519Key, their selectors) in place of
    // those held. A key file others may read, or one that cannot be read, is left out.
    // Returns the lines for the log.
    QList<QByteArray> Load(const Settings& settings);
    bool Enabled() const { return !keys_.empty(); }
    const std::vector<Key>& Keys() const { return keys_; }

    // The signatures of a stored message `text` at `now` (seconds since the epoch): when
    // `senderOurs`, or when its From: is in the signing domain.
    Signature Sign(const QByteArray& text, qint64 now, bool senderOurs) const;

private:
    std::vector<Key> keys_;
    QByteArray domain_;
};

// A new 2048-bit RSA key in `<folder>/<selector>.private`, its owner's alone, never over an
// existing file. Returns the DNS TXT record that publishes its public half for `domain`.
// Throws Failure.
QByteArray MakeKey(const QString& folder, const QByteArray& selector, const QByteArray& domain);
// The value of the TXT record that publishes a key's public half: "v=DKIM1; k=...; p=...".
QByteArray PublicRecord(const Key& key);
// Whether text may be a selector: DNS labels of letters, digits and hyphens.
bool ValidSelector(const QByteArray& selector);

}
