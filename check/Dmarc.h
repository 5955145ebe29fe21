#pragma once
// DMARC (RFC 7489) for arriving mail: the policy the From: domain publishes, and whether an
// SPF or DKIM result that passed is aligned with that domain. Pure over a Dns::Resolver.
#include "dns/Resolver.h"
#include "mail/AuthResults.h"

#include <QByteArray>
#include <QList>

namespace Dmarc {

using Result = Mail::AuthResult;   // none, pass, fail, temperror, permerror
enum class Policy { None, Quarantine, Reject };
const char* Name(Result);   // "none","pass","fail","temperror","permerror"
const char* Name(Policy);   // "none","quarantine","reject"

// The record of a domain (RFC 7489 6.3), parsed as receivers do: tags in any letter case,
// unknown and malformed tags ignored, the first of a name counts.
struct Record {
    bool valid = false;   // starts with v=DMARC1, and p= (and sp=, when present) are valid
    Policy p = Policy::None;
    bool hasSp = false;
    Policy sp = Policy::None;
    bool strictDkim = false, strictSpf = false;   // adkim=s, aspf=s
    int pct = 100;
    bool ruaValid = false;   // rua= holds at least one URI
    QList<QByteArray> rua;   // its URIs, each with its "!size" suffix
};

struct Outcome {
    Result result = Result::None;
    // What the domain asks for this message when it fails: p=, or sp= for a subdomain whose
    // record was found at its organisational domain; one step milder ("reject" to
    // "quarantine", "quarantine" to "none") when pct= leaves the message out of the sample
    // (RFC 7489 6.6.4). None when the result is not Fail.
    Policy policy = Policy::None;
    Policy requested = Policy::None;   // that p= or sp= as published (before pct=), whenever a record was used
    QByteArray fromDomain;             // header.from: lower case, no final dot
    QByteArray policyDomain;           // where the record was found: the From domain or its organisational domain
    QByteArray reason;                 // short printable text, no parentheses
    // From names mailboxes of more than one domain (PermError): which one a reader takes for the
    // author cannot be told, so the message is held to the strictest policy, p=reject.
    bool severalAuthors = false;
    Record record;   // the record used, whenever one was
};

// Whether a TXT record is a DMARC record at all: its first tag is v=DMARC1.
bool IsRecord(const QByteArray& text);
// The record; one with an invalid p= or sp= is read as "v=DMARC1; p=none" when its rua= is
// valid (6.6.3 step 6), and is not valid otherwise.
Record ParseRecord(const QByteArray& text);

// The From: domain of the text (the one domain of every From mailbox; otherwise permerror), the
// SPF result ("pass" etc.) and the domain it checked, and the domains of the DKIM
// signatures that passed. `sample` (0..99) decides pct= sampling: the policy applies when
// it is below pct=; -1 draws it at random. Blocks on DNS: at most two queries.
Outcome Check(Dns::Resolver& dns, const QByteArray& text, const QByteArray& spfResult, const QByteArray& spfDomain,
              const QList<QByteArray>& dkimPassDomains, int sample = -1);

// The organisational domain (RFC 7489 3.2) by the public suffix list Debian ships in
// /usr/share/publicsuffix/public_suffix_list.dat (package publicsuffix; read once,
// thread-safe); the last two labels when the file is missing.
QByteArray OrganizationalDomain(const QByteArray& domain);

// Whether two domains are aligned: equal (strict), or of one organisational domain (relaxed).
bool Aligned(const QByteArray& a, const QByteArray& b, bool strict);

}
