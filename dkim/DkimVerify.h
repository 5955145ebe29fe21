#pragma once
// DKIM verification (RFC 6376; ed25519-sha256 of RFC 8463; RFC 8301's limits) of arriving mail:
// each DKIM-Signature of a message, its key asked of a Dns::Resolver. Canonicalisation is
// the signer's own (dkim/Canonical.h), the header mail/'s; keys and signatures are OpenSSL's.
//
// The results, in the words of RFC 8601 2.7.1:
//   pass       the signature verifies with its key;
//   fail       it does not: the body hash or the signature itself does not match;
//   permerror  it cannot be accepted whatever is asked again: a tag list that does not
//              parse, a required tag missing or not understood, h= without From, i= outside
//              d=, an l= beyond the body, the signature expired (x=, python3-dkim's leeway of
//              ClockLeeway seconds), a t= in the future beyond that leeway, rsa-sha1 (historic,
//              RFC 8301), no key record (NXDOMAIN, no TXT), a key record that does not parse,
//              a revoked key (empty p=), a key not for this algorithm, hash, service or
//              identity, an RSA key shorter than 1024 bits (RFC 8301);
//   temperror  the key could not be asked (DNS time-out or server failure);
//   neutral    not checked: the signatures after the first MaxSignatures;
//   policy     it verifies, but its l= leaves part of the body unsigned: not a pass.
// None is not given to a signature: a message without one has no entry at all.
#include "dkim/Tags.h"
#include "dns/Resolver.h"
#include "mail/AuthResults.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <utility>
#include <vector>

namespace DkimVerify {

using Result = Mail::AuthResult;
const char* Name(Result);   // "none","pass","fail","neutral","policy","temperror","permerror"

// Signatures beyond this many are not checked (neutral), nor is their key asked.
constexpr int MaxSignatures = 10;
// Seconds a signature may be past its x= or before its t=, for clocks that are wrong (as
// python3-dkim allows).
constexpr qint64 ClockLeeway = 36000;
// RSA keys shorter than this many bits are not accepted (RFC 8301 3.2).
constexpr int MinRsaBits = 1024;

struct Signature {
    Result result = Result::None;
    QByteArray domain;     // d=
    QByteArray selector;   // s=
    QByteArray algorithm;  // a=
    QByteArray identity;   // i= (or "@"+d when absent)
    QByteArray b;          // the first 8 characters of b=, for header.b
    QByteArray reason;     // short printable text: why it is not pass ("" for pass); no parentheses, so that it sits in a header comment as it is
};

// Every DKIM-Signature of a message text as stored (dot-stuffed as received, CR LF lines; see
// Mail::Header), top to bottom, at time `now` (seconds since the epoch). Empty when the
// message has none. A header that cannot be read leaves each signature found above the line
// that cannot be read permerror. Blocks on DNS: at most one query per signature checked, one
// per key name.
std::vector<Signature> Verify(Dns::Resolver& dns, const QByteArray& text, qint64 now);

}
