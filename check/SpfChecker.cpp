// check_host(): the record of a domain, its terms evaluated one by one with the lookup limits,
// and the macro values of this check.
#include "check/SpfChecker.h"
#include "mail/Domain.h"

#include <QDateTime>
#include <algorithm>

namespace Spf {

namespace {

bool InNetwork(const QHostAddress& ip, const QHostAddress& network, int prefix)
{
    if (ip.protocol() != network.protocol())
        return false;
    if (ip.protocol() == QAbstractSocket::IPv4Protocol) {
        const quint32 mask = prefix == 0 ? 0 : ~quint32(0) << (MaxCidr4 - prefix);
        return (ip.toIPv4Address() & mask) == (network.toIPv4Address() & mask);
    }
    const Q_IPV6ADDR a = ip.toIPv6Address(), b = network.toIPv6Address();
    for (int bit = 0; bit < prefix; bit += 8) {
        const int left = std::min(8, prefix - bit);
        const quint8 mask = quint8(0xff << (8 - left));
        if ((a[bit / 8] & mask) != (b[bit / 8] & mask))
            return false;
    }
    return true;
}

bool Void(const Dns::Answer& answer)
{
    return answer.status == Dns::Status::NoSuchDomain || answer.status == Dns::Status::NoData
           || (answer.status == Dns::Status::Ok && answer.records.isEmpty());
}

QList<QHostAddress> Addresses(const Dns::Answer& answer)
{
    QList<QHostAddress> list;
    for (const QByteArray& text : answer.records) {
        const QHostAddress a(QString::fromLatin1(text));
        if (!a.isNull())
            list << a;
    }
    return list;
}

}

Checker::Checker(Dns::Resolver& dns, const QHostAddress& ip, int limitMs) : dns_(dns), ip_(ip), limitMs_(limitMs)
{
    six_ = ip.protocol() == QAbstractSocket::IPv6Protocol;
    clock_.start();
}

// The one SPF record of a domain, parsed; none when it has no SPF record.
std::optional<Record> Checker::FindRecord(const QByteArray& domain)
{
    const Dns::Answer answer = Ask(domain, Dns::Type::Txt);
    if (answer.status == Dns::Status::TempError)
        Temp("DNS failure looking up the TXT records of " + domain);
    QList<QByteArray> found;
    for (const QByteArray& text : answer.records)
        if (IsSpf(text))
            found << text;
    if (found.size() > 1)
        Perm(domain + " has more than one SPF record");
    if (found.isEmpty())
        return std::nullopt;
    try {
        return ParseRecord(found[0]);
    } catch (Stop& s) {
        s.reason = domain + ": " + s.reason;
        throw;
    }
}

Checker::Verdict Checker::Evaluate(const QByteArray& domain)
{
    if (!Askable(domain))
        return {Result::None, domain + " is not a valid domain name", {}, {}};
    std::optional<Record> record = FindRecord(domain);
    if (!record)
        return {Result::None, "no SPF record for " + domain, {}, {}};
    for (const Directive& d : record->directives)
        if (Matches(d, domain))
            return {d.qualifier, domain + ": " + d.text, std::move(record->exp), domain};
    if (record->redirect) {
        Count();
        const QByteArray target = Target(*record->redirect, domain);
        Verdict v = Evaluate(target);
        if (v.result == Result::None)
            Perm(domain + ": redirect=" + target + " has no SPF record");
        return v;
    }
    return {Result::Neutral, domain + ": no mechanism matched", std::move(record->exp), domain};
}

QByteArray Checker::Explain(const Verdict& v)
{
    try {
        const QByteArray target = Target(*v.exp, v.expDomain);
        if (!Askable(target))
            return {};
        const Dns::Answer answer = Ask(target, Dns::Type::Txt);
        Pieces pieces;
        if (answer.status != Dns::Status::Ok || answer.records.size() != 1 || !ParseMacros(answer.records[0], true, pieces))
            return {};
        return Expand(pieces, [&](char letter) { return Value(letter, v.expDomain); }, ExplanationCap);
    } catch (const Stop&) {
        return {};
    }
}

Dns::Answer Checker::Ask(const QByteArray& name, Dns::Type type)
{
    if (clock_.elapsed() > limitMs_)
        Temp("the DNS took longer than " + QByteArray::number(limitMs_ / 1000) + " s in all");
    return dns_.Query(name, type);
}

// An address, MX or PTR lookup for a term. A name that cannot be asked (an empty label or
// one of more than 63 octets, made by a macro) is one that does not exist, but no void
// lookup: nothing was asked (as python3-spf counts). Void answers count (4.6.4), DNS
// failures end the check.
Dns::Answer Checker::Lookup(const QByteArray& name, Dns::Type type)
{
    if (!Askable(name))
        return {Dns::Status::NoSuchDomain, {}};
    const Dns::Answer answer = Ask(name, type);
    if (answer.status == Dns::Status::TempError)
        Temp("DNS failure looking up " + name);
    CountVoid(answer, name);
    return answer;
}

void Checker::CountVoid(const Dns::Answer& answer, const QByteArray& name)
{
    if (Void(answer) && ++voids_ > MaxVoidLookups)
        Perm("more than " + QByteArray::number(MaxVoidLookups) + " void DNS lookups, at " + name);
}

void Checker::Count()
{
    if (++terms_ > MaxDnsTerms)
        Perm("more than " + QByteArray::number(MaxDnsTerms) + " DNS-querying terms");
}

bool Checker::AddressMatches(const QByteArray& name, int prefix)
{
    for (const QHostAddress& a : Addresses(Lookup(name, six_ ? Dns::Type::Aaaa : Dns::Type::A)))
        if (InNetwork(ip_, a, prefix))
            return true;
    return false;
}

bool Checker::Matches(const Directive& d, const QByteArray& domain)
{
    const int prefix = six_ ? d.cidr6 : d.cidr4;
    switch (d.mechanism) {
    case Mechanism::All: return true;
    case Mechanism::Ip4:
    case Mechanism::Ip6: return InNetwork(ip_, d.network, prefix);
    default: break;
    }
    Count();
    const QByteArray target = d.domain ? Target(*d.domain, domain) : domain;
    switch (d.mechanism) {
    case Mechanism::A: return AddressMatches(target, prefix);
    case Mechanism::Mx: return MxMatches(d, domain, target, prefix);
    case Mechanism::Ptr: {
        const QByteArray suffix = Mail::Domain(target).Name();
        for (const QByteArray& name : Validated(true))
            if (name == suffix || name.endsWith('.' + suffix))
                return true;
        return false;
    }
    case Mechanism::Exists: {
        const Dns::Answer a = Lookup(target, Dns::Type::A);   // A even for IPv6 clients (5.7)
        return a.status == Dns::Status::Ok && !a.records.isEmpty();
    }
    case Mechanism::Include: return IncludeMatches(d, domain, target);
    default: return false;
    }
}

bool Checker::MxMatches(const Directive& d, const QByteArray& domain, const QByteArray& target, int prefix)
{
    const Dns::Answer mx = Lookup(target, Dns::Type::Mx);
    if (mx.records.size() > MaxMxNames)
        Perm(domain + ": \"" + d.text + "\": " + target + " has more than " + QByteArray::number(MaxMxNames) + " MX records");
    QList<std::pair<int, QByteArray>> hosts;
    for (const QByteArray& r : mx.records) {
        const qsizetype space = r.indexOf(' ');
        hosts.append({r.left(space).toInt(), r.mid(space + 1)});
    }
    std::stable_sort(hosts.begin(), hosts.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
    for (const auto& host : hosts)
        if (host.second != "" && host.second != "." && AddressMatches(host.second, prefix))   // a null MX names none
            return true;
    return false;
}

bool Checker::IncludeMatches(const Directive& d, const QByteArray& domain, const QByteArray& target)
{
    const Verdict v = Evaluate(target);
    switch (v.result) {
    case Result::Pass: return true;
    case Result::Fail:
    case Result::SoftFail:
    case Result::Neutral: return false;
    default: Perm(domain + ": \"" + d.text + "\": " + v.reason);
    }
}

// The client's validated domain names (5.5), lower case: of the first ten PTR names, those
// whose addresses include the client's. A DNS failure of the PTR lookup validates nothing,
// one of an address lookup leaves that name out. `counted`: void answers count (the ptr
// mechanism; %{p} is no term).
QList<QByteArray> Checker::Validated(bool counted)
{
    const auto ask = [&](const QByteArray& name, Dns::Type type) {
        if (!Askable(name))
            return Dns::Answer{Dns::Status::NoSuchDomain, {}};
        const Dns::Answer answer = Ask(name, type);
        if (counted)
            CountVoid(answer, name);
        return answer;
    };
    QList<QByteArray> validated;
    const Dns::Answer ptr = ask(ReverseName(), Dns::Type::Ptr);
    if (ptr.status != Dns::Status::Ok)
        return validated;
    for (const QByteArray& name : ptr.records.mid(0, MaxPtrNames)) {
        const Dns::Answer a = ask(name, six_ ? Dns::Type::Aaaa : Dns::Type::A);
        if (a.status == Dns::Status::Ok && Addresses(a).contains(ip_))
            validated << Mail::Domain(name).Name();
    }
    return validated;
}

QByteArray Checker::ReverseName() const
{
    QByteArrayList parts = Ip().split('.');
    std::reverse(parts.begin(), parts.end());
    return parts.join('.') + (six_ ? ".ip6.arpa" : ".in-addr.arpa");
}

// %{i}: dotted quad, or 32 dot-separated nibbles (upper case, as in the examples of 7.4)
QByteArray Checker::Ip() const
{
    if (!six_)
        return ip_.toString().toLatin1();
    const Q_IPV6ADDR a = ip_.toIPv6Address();
    QByteArray text;
    for (int k = 0; k < 16; ++k) {
        text += QByteArray::number(a[k] >> 4, 16).toUpper() + '.';
        text += QByteArray::number(a[k] & 15, 16).toUpper() + '.';
    }
    text.chop(1);
    return text;
}

// %{p} (7.3): the validated name that is the domain, else one in the domain, else any;
// "unknown" when none is.
QByteArray Checker::P(const QByteArray& domain)
{
    if (!validated_) {
        try {
            validated_ = Validated(false);
        } catch (const Stop&) {   // only the time limit: nothing validated
            validated_ = QList<QByteArray>();
        }
    }
    const QByteArray d = Mail::Domain(domain).Name();
    if (validated_->isEmpty())
        return "unknown";
    if (validated_->contains(d))
        return d;
    for (const QByteArray& name : *validated_)
        if (name.endsWith('.' + d))
            return name;
    return validated_->first();
}

QByteArray Checker::Value(char letter, const QByteArray& domain)
{
    switch (letter) {
    case 's': return sender;
    case 'l': return local;
    case 'o': return senderDomain;
    case 'd': return domain;
    case 'i': return Ip();
    case 'p': return P(domain);
    case 'v': return six_ ? "ip6" : "in-addr";
    case 'h': return helo;
    case 'c': return ip_.toString().toLatin1();
    case 'r': return receiver.isEmpty() ? QByteArray("unknown") : receiver;
    case 't': return QByteArray::number(QDateTime::currentSecsSinceEpoch());
    }
    return {};
}

QByteArray Checker::Target(const Pieces& pieces, const QByteArray& domain)
{
    return ExpandTarget(pieces, [&](char letter) { return Value(letter, domain); });
}

}
