// SPF, RFC 7208: the check of one client and sender, and the outcome's words and printable
// reason. The record's syntax is in SpfRecord, macros in SpfMacros, check_host() in SpfChecker.
#include "check/Spf.h"
#include "check/SpfChecker.h"
#include "mail/Domain.h"

namespace Spf {

namespace {

constexpr qsizetype ReasonCap = 200;   // an Outcome's reason, "..." included

// Printable ASCII without "(", ")" and "\", at most ReasonCap characters.
QByteArray Printable(QByteArray text)
{
    for (char& c : text)
        if (c < 0x20 || c > 0x7e || c == '(' || c == ')' || c == '\\')
            c = '?';
    if (text.size() > ReasonCap)
        text = text.left(ReasonCap - 3) + "...";
    return text;
}

// The domain of check_host()'s first call (4.3): a multi-label name of visible ASCII, each label
// 1 to 63 octets, no domain literal. Anything else gives "none".
bool ValidInitial(QByteArrayView domain)
{
    if (domain.startsWith('[') || !Askable(domain) || !Mail::WithoutFinalDot(domain).contains('.'))
        return false;
    for (const char c : domain)
        if (c < 0x21 || c > 0x7e)
            return false;
    return true;
}

// The client as the check sees it: an IPv4-mapped IPv6 address counts as IPv4.
QHostAddress ClientAddress(const QHostAddress& client)
{
    bool mapped = false;
    const quint32 v4 = client.toIPv4Address(&mapped);
    return mapped ? QHostAddress(v4) : client;
}

// check_host() from the initial domain; a Stop becomes the outcome's result.
void Evaluate(Checker& checker, const QByteArray& domain, Outcome& out)
{
    try {
        const Checker::Verdict v = checker.Evaluate(domain);
        out.result = v.result;
        out.reason = v.reason;
        if (v.result == Result::Fail && v.exp)
            out.explanation = checker.Explain(v);
    } catch (const Stop& stop) {
        out.result = stop.result;
        out.reason = stop.reason;
    }
}

}

Outcome Check(Dns::Resolver& dns, const QHostAddress& client, const QByteArray& sender, const QByteArray& helo,
              const QByteArray& receiver, int limitMs)
{
    Outcome out;
    QByteArray address = sender;
    out.identity = "mailfrom";
    if (sender.isEmpty()) {
        out.identity = "helo";
        address = "postmaster@" + helo;
    }
    const Mail::Address split = Mail::Address::Parse(address);
    QByteArray local = split.local;
    const QByteArray written = split.hasDomain ? split.domainText : address;
    if (!split.hasDomain || local.isEmpty())   // 4.3: a sender without local-part is postmaster's
        local = "postmaster";
    out.domain = Mail::Domain(written).Name();

    const QHostAddress ip = ClientAddress(client);
    if (ip.isNull()) {
        out.reason = "no client address";
        return out;
    }
    if (!ValidInitial(written)) {
        out.reason = Printable(written + " is not a valid domain name");
        return out;
    }
    const QByteArray domain = Mail::WithoutFinalDot(written);   // macros see the sender's letter case

    Checker checker(dns, ip, limitMs);
    checker.sender = local + '@' + domain;
    checker.local = local;
    checker.senderDomain = domain;
    checker.helo = helo;
    checker.receiver = receiver;
    Evaluate(checker, domain, out);
    out.reason = Printable(out.reason);
    for (char& c : out.explanation)   // a macro's value may hold anything the client sent
        if (c < 0x20 || c > 0x7e)
            c = '?';
    return out;
}

}
