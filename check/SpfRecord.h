#pragma once
// An SPF record parsed whole (RFC 7208 4.5, 4.6, 5, 6, 12): its directives and the redirect=
// and exp= modifiers, before anything of it is evaluated, so that a syntax error anywhere is a
// permerror (4.6).
#include "check/Spf.h"
#include "check/SpfMacros.h"

#include <QHostAddress>
#include <optional>

namespace Spf {

// A temperror or permerror: the check ends with it, whatever include or redirect it came from.
struct Stop {
    Result result;
    QByteArray reason;
};

[[noreturn]] void Perm(const QByteArray& reason);
[[noreturn]] void Temp(const QByteArray& reason);

enum class Mechanism { All, Include, A, Mx, Ptr, Ip4, Ip6, Exists };

constexpr int MaxCidr4 = 32, MaxCidr6 = 128;

struct Directive {
    QByteArray text;   // as written, for the reason
    Result qualifier = Result::Pass;
    Mechanism mechanism = Mechanism::All;
    std::optional<Pieces> domain;   // the target domain, when one is given
    int cidr4 = MaxCidr4, cidr6 = MaxCidr6;
    QHostAddress network;           // ip4 and ip6
};

struct Record {
    std::vector<Directive> directives;
    std::optional<Pieces> redirect, exp;
};

// The record's terms after "v=spf1"; a Stop (permerror) on a syntax error.
Record ParseRecord(const QByteArray& text);

// Whether a TXT record is an SPF record: the version section "v=spf1", ended by a space or
// the end of the record (4.5; case-insensitive, as ABNF strings are).
bool IsSpf(const QByteArray& text);

// Whether a name can be asked in the DNS: labels of 1 to 63 octets, 253 in all (a final dot
// aside).
bool Askable(QByteArrayView name);

}
