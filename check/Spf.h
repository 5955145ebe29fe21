#pragma once
// SPF (RFC 7208): whether the connecting client may send mail for the domain of the MAIL FROM
// address (or, for the null sender, of the HELO name). check_host() of section 4, with every
// mechanism and modifier, macros (section 7) and the processing limits of 4.6.4, asked through
// a Dns::Resolver. Nothing is cached between checks.
#include "dns/Resolver.h"
#include "mail/AuthResults.h"

#include <QByteArray>
#include <QHostAddress>

namespace Spf {

// The results of RFC 7208 section 2.6 are Authentication-Results' own: every one but policy.
using Result = Mail::AuthResult;

struct Outcome {
    Result result = Result::None;
    QByteArray domain;       // the domain checked: MAIL FROM's, or the HELO name for the null sender (lower case, no final dot)
    QByteArray identity;     // "mailfrom" or "helo"
    // Short printable text for the log and the header comment: the mechanism that matched (with
    // the domain whose record holds it), or what was wrong. Printable ASCII only, without "(",
    // ")" and "\" (each becomes "?"), so it can stand in a header comment as it is; at most 200
    // characters.
    QByteArray reason;
    // The expanded exp= text after a fail ("" if none, or if the record's exp= gave nothing
    // usable: section 6.2). It comes from the DNS of the domain checked: printable ASCII, but
    // otherwise the publisher's own words, at most ExplanationCap of them.
    QByteArray explanation;
};

// client: the connecting address (an IPv4-mapped IPv6 address counts as IPv4); sender: the
// MAIL FROM address without <> ("" for the null sender: then "postmaster@<helo>" is checked with
// identity helo); helo: the HELO/EHLO name; receiver: our host name, for %{r} ("unknown" when
// empty). Blocks on DNS: call it off the event thread. Gives up with temperror once the
// queries have taken `limitMs` in all (4.6.4: at least 20 s).
Outcome Check(Dns::Resolver& dns, const QHostAddress& client, const QByteArray& sender, const QByteArray& helo,
              const QByteArray& receiver, int limitMs = 20000);

constexpr qsizetype ExplanationCap = 512;   // the most a reply line holds

// The processing limits of RFC 7208 4.6.4.
constexpr int MaxDnsTerms = 10;     // include, a, mx, ptr, exists and redirect, over the whole check
constexpr int MaxVoidLookups = 2;   // queries answered NXDOMAIN or with no records
// Not of 4.6.4: each term parsed holds a few hundred bytes, and no published record comes near.
constexpr int MaxTerms = 1000;
constexpr int MaxMxNames = 10;      // an mx mechanism whose name has more MX records is a permerror
constexpr int MaxPtrNames = 10;     // a ptr mechanism (or %{p}) looks at the first ten PTR names only

}
