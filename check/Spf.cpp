// SPF, RFC 7208: check_host() (section 4) with its record syntax (4.5, 4.6, 12), mechanisms
// (5), modifiers (6), macros (7) and processing limits (4.6.4). A record is parsed whole before
// anything of it is evaluated, so a syntax error anywhere is a permerror (4.6); evaluation then
// goes term by term, and a temperror or permerror anywhere ends the whole check (a Stop).
#include "check/Spf.h"
#include "mail/Domain.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <optional>
#include <vector>

namespace Spf {

const char* Name(Result result)
{
    switch (result) {
    case Result::None: return "none";
    case Result::Neutral: return "neutral";
    case Result::Pass: return "pass";
    case Result::Fail: return "fail";
    case Result::SoftFail: return "softfail";
    case Result::TempError: return "temperror";
    case Result::PermError: return "permerror";
    }
    return "none";
}

namespace {

// A temperror or permerror: the check ends with it, whatever include or redirect it came from.
struct Stop {
    Result result;
    QByteArray reason;
};

[[noreturn]] void Perm(const QByteArray& reason) { throw Stop{Result::PermError, reason}; }
[[noreturn]] void Temp(const QByteArray& reason) { throw Stop{Result::TempError, reason}; }

bool Alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool Digit(char c) { return c >= '0' && c <= '9'; }
bool Alnum(char c) { return Alpha(c) || Digit(c); }
char Lower(char c) { return c >= 'A' && c <= 'Z' ? char(c + 32) : c; }

// toplabel = ( *alphanum ALPHA *alphanum ) / ( 1*alphanum "-" *( alphanum / "-" ) alphanum )
bool TopLabel(QByteArrayView s)
{
    if (s.isEmpty())
        return false;
    bool alpha = false, dash = false;
    for (const char c : s) {
        if (Alpha(c))
            alpha = true;
        else if (c == '-')
            dash = true;
        else if (!Digit(c))
            return false;
    }
    return dash ? s.front() != '-' && s.back() != '-' : alpha;
}

// --- Macros (section 7) ---------------------------------------------------------------------

// One piece of a macro-string: literal text (with "%%", "%_" and "%-" already turned into "%",
// " " and "%20"), or a macro-expand "%{...}".
struct Piece {
    QByteArray literal;
    bool expand = false;    // a macro-expand: "%{...}", "%%", "%_" or "%-" (domain-end may be one)
    char letter = 0;        // the macro letter, lower case; 0 for literal text
    bool upper = false;     // written in upper case: URL-escaped after expansion
    int digits = 0;         // keep that many right-hand parts; 0: all
    bool reverse = false;
    QByteArray delimiters;  // "" for the default "."
};
using Pieces = std::vector<Piece>;

// Parses a macro-string (with spaces too when `explain`: an explain-string, 6.2). The letters
// c, r and t stand only in explanations (7.2). False on a syntax error.
bool ParseMacros(QByteArrayView s, bool explain, Pieces& out)
{
    out.clear();
    const auto literal = [&out](QByteArrayView text, bool expand) {
        if (expand || out.empty() || out.back().letter || out.back().expand)
            out.push_back(Piece{});
        out.back().literal += text;
        out.back().expand = expand;
    };
    for (qsizetype k = 0; k < s.size(); ++k) {
        const char c = s[k];
        if (c != '%') {
            // macro-literal = %x21-24 / %x26-7E; an explain-string has SP between them
            if ((c < 0x21 || c > 0x7e) && !(explain && c == ' '))
                return false;
            literal(s.sliced(k, 1), false);
            continue;
        }
        if (++k == s.size())
            return false;
        switch (s[k]) {
        case '%': literal("%", true); continue;
        case '_': literal(" ", true); continue;
        case '-': literal("%20", true); continue;
        case '{': break;
        default: return false;
        }
        const qsizetype end = s.indexOf('}', k);
        if (end < 0 || end == k + 1)
            return false;
        Piece m;
        m.expand = true;
        const char letter = s[k + 1];
        m.letter = Lower(letter);
        m.upper = letter != m.letter;
        if (!QByteArrayView(explain ? "slodiphcrtv" : "slodiphv").contains(m.letter))
            return false;
        qsizetype at = k + 2;
        if (at < end && Digit(s[at])) {
            qint64 n = 0;
            for (; at < end && Digit(s[at]); ++at)
                n = std::min<qint64>(n * 10 + (s[at] - '0'), 1000);
            if (n == 0)   // "If a DIGIT is specified, the value MUST be nonzero"
                return false;
            m.digits = int(n);
        }
        if (at < end && Lower(s[at]) == 'r') {
            m.reverse = true;
            ++at;
        }
        for (; at < end; ++at) {
            if (!QByteArrayView(".-+,/_=").contains(s[at]))
                return false;
            m.delimiters += s[at];
        }
        out.push_back(m);
        k = end;
    }
    return true;
}

// A target domain: macros, then a final label of letters (a final dot allowed) or a macro.
bool ParseTargetDomain(QByteArrayView s, Pieces& out)
{
    if (!ParseMacros(s, false, out) || out.empty())
        return false;
    if (out.back().expand)
        return true;
    QByteArrayView tail = out.back().literal;   // the literal text after the last macro-expand
    if (tail.endsWith('.'))
        tail.chop(1);
    const qsizetype dot = tail.lastIndexOf('.');
    return dot >= 0 && TopLabel(tail.sliced(dot + 1));
}

bool Unreserved(char c) { return Alnum(c) || c == '-' || c == '.' || c == '_' || c == '~'; }

// --- Terms and records (4.6, 5, 6, 12) ---------------------------------------------------------

enum class Mechanism { All, Include, A, Mx, Ptr, Ip4, Ip6, Exists };

struct Directive {
    QByteArray text;   // as written, for the reason
    Result qualifier = Result::Pass;
    Mechanism mechanism = Mechanism::All;
    std::optional<Pieces> domain;   // the target domain, when one is given
    int cidr4 = 32, cidr6 = 128;
    QHostAddress network;           // ip4 and ip6
};

struct Record {
    std::vector<Directive> directives;
    std::optional<Pieces> redirect, exp;
};

// Takes a trailing "/N" off `s`: true and the number in `n` when there is one (N digits, no
// leading zero). A cidr length can end no target domain, so a trailing one is always the length.
bool CutLength(QByteArray& s, int& n, const QByteArray& term, int most)
{
    qsizetype k = s.size();
    while (k > 0 && Digit(s[k - 1]))
        --k;
    if (k == s.size() || k == 0 || s[k - 1] != '/')
        return false;
    const QByteArray digits = s.mid(k);
    if ((digits.size() > 1 && digits[0] == '0') || digits.size() > 3 || digits.toInt() > most)
        Perm("invalid CIDR length in \"" + term + "\"");
    n = digits.toInt();
    s.truncate(k - 1);
    return true;
}

QHostAddress ParseAddress(const QByteArray& text, bool six)
{
    unsigned char bytes[16];
    if (text.isEmpty() || inet_pton(six ? AF_INET6 : AF_INET, text.constData(), bytes) != 1)
        return {};
    if (six)
        return QHostAddress(bytes);
    return QHostAddress(quint32(bytes[0]) << 24 | quint32(bytes[1]) << 16 | quint32(bytes[2]) << 8 | bytes[3]);
}

Directive ParseDirective(const QByteArray& term)
{
    Directive d;
    d.text = term;
    QByteArray rest = term;
    switch (rest[0]) {
    case '+': d.qualifier = Result::Pass; rest.remove(0, 1); break;
    case '-': d.qualifier = Result::Fail; rest.remove(0, 1); break;
    case '~': d.qualifier = Result::SoftFail; rest.remove(0, 1); break;
    case '?': d.qualifier = Result::Neutral; rest.remove(0, 1); break;
    default: break;
    }
    qsizetype k = 0;
    while (k < rest.size() && rest[k] != ':' && rest[k] != '/')
        ++k;
    const QByteArray name = rest.left(k).toLower();
    QByteArray args = rest.mid(k);
    const auto domain = [&](bool required) {
        if (args.isEmpty() && !required)
            return;
        Pieces pieces;
        if (!args.startsWith(':') || !ParseTargetDomain(QByteArrayView(args).sliced(1), pieces))
            Perm("invalid domain in \"" + term + "\"");
        d.domain = std::move(pieces);
    };
    const auto network = [&](bool six) {
        if (!args.startsWith(':'))
            Perm("\"" + term + "\" needs an address");
        args.remove(0, 1);
        CutLength(args, six ? d.cidr6 : d.cidr4, term, six ? 128 : 32);
        d.network = ParseAddress(args, six);
        if (d.network.isNull())
            Perm("invalid address in \"" + term + "\"");
    };
    if (name == "all") {
        d.mechanism = Mechanism::All;
        if (!args.isEmpty())
            Perm("\"all\" takes nothing: \"" + term + "\"");
    } else if (name == "include" || name == "exists") {
        d.mechanism = name == "include" ? Mechanism::Include : Mechanism::Exists;
        domain(true);
    } else if (name == "ptr") {
        d.mechanism = Mechanism::Ptr;
        domain(false);
    } else if (name == "a" || name == "mx") {
        d.mechanism = name == "a" ? Mechanism::A : Mechanism::Mx;
        // dual-cidr-length = [ ip4-cidr-length ] [ "/" ip6-cidr-length ]: "//N" first
        QByteArray probe = args;
        int n = 0;
        if (CutLength(probe, n, term, 128) && probe.endsWith('/')) {
            probe.chop(1);
            d.cidr6 = n;
            args = probe;
        }
        CutLength(args, d.cidr4, term, 32);
        domain(false);
    } else if (name == "ip4" || name == "ip6") {
        d.mechanism = name == "ip4" ? Mechanism::Ip4 : Mechanism::Ip6;
        network(name == "ip6");
    } else {
        Perm("unknown mechanism \"" + term + "\"");
    }
    return d;
}

Record ParseRecord(const QByteArray& text)
{
    Record record;
    for (const char c : text)
        if (c < 0x20 || c > 0x7e)
            Perm("a character other than printable ASCII in the record");
    for (const QByteArray& term : text.mid(6).split(' ')) {
        if (term.isEmpty())
            continue;
        // modifier = name "=" macro-string; name = ALPHA *( ALPHA / DIGIT / "-" / "_" / "." )
        qsizetype k = 0;
        if (Alpha(term[0]))
            for (k = 1; k < term.size() && (Alnum(term[k]) || term[k] == '-' || term[k] == '_' || term[k] == '.');)
                ++k;
        if (k == 0 || k == term.size() || term[k] != '=') {
            record.directives.push_back(ParseDirective(term));
            continue;
        }
        const QByteArray name = term.left(k).toLower();
        const QByteArrayView value = QByteArrayView(term).sliced(k + 1);
        Pieces pieces;
        if (name == "redirect" || name == "exp") {
            auto& slot = name == "redirect" ? record.redirect : record.exp;
            if (slot)
                Perm("more than one " + name + "= modifier");
            if (!ParseTargetDomain(value, pieces))
                Perm("invalid domain in \"" + term + "\"");
            slot = std::move(pieces);
        } else if (!ParseMacros(value, false, pieces)) {
            // An unknown modifier is ignored, once its syntax is right (6); c, r and t stand
            // in exp text only (7.1).
            Perm("invalid macro in \"" + term + "\"");
        }
    }
    return record;
}

// Whether a TXT record is an SPF record: the version section "v=spf1", ended by a space or
// the end of the record (4.5; case-insensitive, as ABNF strings are).
bool IsSpf(const QByteArray& text)
{
    return text.size() >= 6 && text.left(6).toLower() == "v=spf1" && (text.size() == 6 || text[6] == ' ');
}

// Whether a name can be asked in the DNS: labels of 1 to 63 octets, 253 in all (a final dot
// aside).
bool Askable(QByteArrayView name)
{
    if (name.endsWith('.'))
        name.chop(1);
    if (name.isEmpty() || name.size() > 253)
        return false;
    qsizetype start = 0;
    for (qsizetype k = 0; k <= name.size(); ++k) {
        if (k < name.size() && name[k] != '.')
            continue;
        if (k == start || k - start > 63)
            return false;
        start = k + 1;
    }
    return true;
}

bool InNetwork(const QHostAddress& ip, const QHostAddress& network, int prefix)
{
    if (ip.protocol() != network.protocol())
        return false;
    if (ip.protocol() == QAbstractSocket::IPv4Protocol) {
        const quint32 mask = prefix == 0 ? 0 : ~quint32(0) << (32 - prefix);
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

QByteArray Printable(QByteArray text)
{
    for (char& c : text)
        if (c < 0x20 || c > 0x7e || c == '(' || c == ')' || c == '\\')
            c = '?';
    if (text.size() > 200)
        text = text.left(197) + "...";
    return text;
}

// --- Evaluation ----------------------------------------------------------------------------

class Checker {
public:
    Checker(Dns::Resolver& dns, const QHostAddress& ip, int limitMs) : dns_(dns), ip_(ip), limitMs_(limitMs)
    {
        six_ = ip.protocol() == QAbstractSocket::IPv6Protocol;
        clock_.start();
    }

    QByteArray sender, local, senderDomain, helo, receiver;

    struct Verdict {
        Result result = Result::None;
        QByteArray reason;
        std::optional<Pieces> exp;   // the exp= of the record that decided, and its domain
        QByteArray expDomain;
    };

    // check_host() for `domain` (4): None when it has no SPF record (or cannot have one).
    Verdict Evaluate(const QByteArray& domain)
    {
        if (!Askable(domain))
            return {Result::None, domain + " is not a valid domain name", {}, {}};
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
            return {Result::None, "no SPF record for " + domain, {}, {}};
        Record record = [&] {
            try {
                return ParseRecord(found[0]);
            } catch (Stop& s) {
                s.reason = domain + ": " + s.reason;
                throw;
            }
        }();
        for (const Directive& d : record.directives)
            if (Matches(d, domain))
                return {d.qualifier, domain + ": " + d.text, std::move(record.exp), domain};
        if (record.redirect) {
            Count();
            const QByteArray target = Target(*record.redirect, domain);
            Verdict v = Evaluate(target);
            if (v.result == Result::None)
                Perm(domain + ": redirect=" + target + " has no SPF record");
            return v;
        }
        return {Result::Neutral, domain + ": no mechanism matched", std::move(record.exp), domain};
    }

    // The exp= text of a fail (6.2): "" when anything about it is wrong.
    QByteArray Explain(const Verdict& v)
    {
        try {
            const QByteArray target = Target(*v.exp, v.expDomain);
            if (!Askable(target))
                return {};
            const Dns::Answer answer = Ask(target, Dns::Type::Txt);
            Pieces pieces;
            if (answer.status != Dns::Status::Ok || answer.records.size() != 1 || !ParseMacros(answer.records[0], true, pieces))
                return {};
            return Expand(pieces, v.expDomain);
        } catch (const Stop&) {
            return {};
        }
    }

private:
    Dns::Answer Ask(const QByteArray& name, Dns::Type type)
    {
        if (clock_.elapsed() > limitMs_)
            Temp("the DNS took longer than " + QByteArray::number(limitMs_ / 1000) + " s in all");
        return dns_.Query(name, type);
    }

    // An address, MX or PTR lookup for a term. A name that cannot be asked (an empty label or
    // one of more than 63 octets, made by a macro) is one that does not exist, but no void
    // lookup: nothing was asked (as python3-spf counts). Void answers count (4.6.4), DNS
    // failures end the check.
    Dns::Answer Lookup(const QByteArray& name, Dns::Type type)
    {
        if (!Askable(name))
            return {Dns::Status::NoSuchDomain, {}};
        const Dns::Answer answer = Ask(name, type);
        if (answer.status == Dns::Status::TempError)
            Temp("DNS failure looking up " + name);
        if (Void(answer) && ++voids_ > MaxVoidLookups)
            Perm("more than " + QByteArray::number(MaxVoidLookups) + " void DNS lookups, at " + name);
        return answer;
    }

    void Count()
    {
        if (++terms_ > MaxDnsTerms)
            Perm("more than " + QByteArray::number(MaxDnsTerms) + " DNS-querying terms");
    }

    QList<QHostAddress> Addresses(const Dns::Answer& answer) const
    {
        QList<QHostAddress> list;
        for (const QByteArray& text : answer.records) {
            const QHostAddress a(QString::fromLatin1(text));
            if (!a.isNull())
                list << a;
        }
        return list;
    }

    bool AddressMatches(const QByteArray& name, int prefix)
    {
        for (const QHostAddress& a : Addresses(Lookup(name, six_ ? Dns::Type::Aaaa : Dns::Type::A)))
            if (InNetwork(ip_, a, prefix))
                return true;
        return false;
    }

    bool Matches(const Directive& d, const QByteArray& domain)
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
        case Mechanism::Mx: {
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
        case Mechanism::Ptr: {
            const QByteArray suffix = target.toLower();
            for (const QByteArray& name : Validated(true))
                if (name == suffix || name.endsWith('.' + suffix))
                    return true;
            return false;
        }
        case Mechanism::Exists: {
            const Dns::Answer a = Lookup(target, Dns::Type::A);   // A even for IPv6 clients (5.7)
            return a.status == Dns::Status::Ok && !a.records.isEmpty();
        }
        case Mechanism::Include: {
            const Verdict v = Evaluate(target);
            switch (v.result) {
            case Result::Pass: return true;
            case Result::Fail:
            case Result::SoftFail:
            case Result::Neutral: return false;
            default: Perm(domain + ": \"" + d.text + "\": " + v.reason);
            }
        }
        default: return false;
        }
    }

    // The client's validated domain names (5.5), lower case: of the first ten PTR names, those
    // whose addresses include the client's. A DNS failure of the PTR lookup validates nothing,
    // one of an address lookup leaves that name out. `counted`: void answers count (the ptr
    // mechanism; %{p} is no term).
    QList<QByteArray> Validated(bool counted)
    {
        const auto ask = [&](const QByteArray& name, Dns::Type type) {
            if (!Askable(name))
                return Dns::Answer{Dns::Status::NoSuchDomain, {}};
            const Dns::Answer answer = Ask(name, type);
            if (counted && Void(answer) && ++voids_ > MaxVoidLookups)
                Perm("more than " + QByteArray::number(MaxVoidLookups) + " void DNS lookups, at " + name);
            return answer;
        };
        QList<QByteArray> validated;
        const Dns::Answer ptr = ask(ReverseName(), Dns::Type::Ptr);
        if (ptr.status != Dns::Status::Ok)
            return validated;
        for (const QByteArray& name : ptr.records.mid(0, MaxPtrNames)) {
            const Dns::Answer a = ask(name, six_ ? Dns::Type::Aaaa : Dns::Type::A);
            if (a.status == Dns::Status::Ok && Addresses(a).contains(ip_))
                validated << name.toLower();
        }
        return validated;
    }

    QByteArray ReverseName() const
    {
        QByteArrayList parts = Ip().split('.');
        std::reverse(parts.begin(), parts.end());
        return parts.join('.') + (six_ ? ".ip6.arpa" : ".in-addr.arpa");
    }

    // %{i}: dotted quad, or 32 dot-separated nibbles (upper case, as in the examples of 7.4)
    QByteArray Ip() const
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
    QByteArray P(const QByteArray& domain)
    {
        if (!validated_) {
            try {
                validated_ = Validated(false);
            } catch (const Stop&) {   // only the time limit: nothing validated
                validated_ = QList<QByteArray>();
            }
        }
        const QByteArray d = domain.toLower();
        if (validated_->isEmpty())
            return "unknown";
        if (validated_->contains(d))
            return d;
        for (const QByteArray& name : *validated_)
            if (name.endsWith('.' + d))
                return name;
        return validated_->first();
    }

    QByteArray Value(char letter, const QByteArray& domain)
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

    QByteArray Expand(const Pieces& pieces, const QByteArray& domain)
    {
        QByteArray out;
        for (const Piece& piece : pieces) {
            if (!piece.letter) {
                out += piece.literal;
                continue;
            }
            QByteArray value = Value(piece.letter, domain);
            if (piece.digits || piece.reverse || !piece.delimiters.isEmpty()) {
                // split at any of the delimiters, reverse, keep the right-hand parts, join with "."
                const QByteArray delimiters = piece.delimiters.isEmpty() ? QByteArray(".") : piece.delimiters;
                QByteArrayList parts{QByteArray()};
                for (const char c : value) {
                    if (delimiters.contains(c))
                        parts << QByteArray();
                    else
                        parts.last() += c;
                }
                if (piece.reverse)
                    std::reverse(parts.begin(), parts.end());
                if (piece.digits && piece.digits < parts.size())
                    parts = parts.mid(parts.size() - piece.digits);
                value = parts.join('.');
            }
            if (piece.upper) {
                QByteArray escaped;
                for (const char c : value) {
                    if (Unreserved(c))
                        escaped += c;
                    else
                        escaped += '%' + QByteArray::number(uchar(c), 16).rightJustified(2, '0').toUpper();
                }
                value = escaped;
            }
            out += value;
        }
        return out;
    }

    // A target domain expanded into the name to ask (7.3): no final dot, and no longer than 253
    // characters, taking whole labels off the left.
    QByteArray Target(const Pieces& pieces, const QByteArray& domain)
    {
        QByteArray name = Expand(pieces, domain);
        if (name.endsWith('.'))
            name.chop(1);
        while (name.size() > 253) {
            const qsizetype dot = name.indexOf('.');
            if (dot < 0)
                break;
            name.remove(0, dot + 1);
        }
        return name;
    }

    Dns::Resolver& dns_;
    QHostAddress ip_;
    bool six_ = false;
    int limitMs_;
    QElapsedTimer clock_;
    int terms_ = 0, voids_ = 0;
    std::optional<QList<QByteArray>> validated_;
};

// The domain of check_host()'s first call (4.3): a multi-label name of visible ASCII, each label
// 1 to 63 octets, no domain literal. Anything else gives "none".
bool ValidInitial(QByteArrayView domain)
{
    if (domain.startsWith('[') || !Askable(domain) || !domain.contains('.'))
        return false;
    if (domain.endsWith('.') && domain.count('.') < 2)
        return false;
    for (const char c : domain)
        if (c < 0x21 || c > 0x7e)
            return false;
    return true;
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
    QByteArray domain = split.hasDomain ? split.domainText : address;
    if (!split.hasDomain || local.isEmpty())   // 4.3: a sender without local-part is postmaster's
        local = "postmaster";
    out.domain = Mail::Domain(domain).Name();

    QHostAddress ip = client;
    bool mapped = false;
    const quint32 v4 = client.toIPv4Address(&mapped);   // an IPv4-mapped IPv6 address counts as IPv4
    if (mapped)
        ip = QHostAddress(v4);
    if (ip.isNull()) {
        out.reason = "no client address";
        return out;
    }
    if (!ValidInitial(domain)) {
        out.reason = Printable(domain + " is not a valid domain name");
        return out;
    }
    if (domain.endsWith('.'))
        domain.chop(1);

    Checker checker(dns, ip, limitMs);
    checker.sender = local + '@' + domain;
    checker.local = local;
    checker.senderDomain = domain;
    checker.helo = helo;
    checker.receiver = receiver;
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
    out.reason = Printable(out.reason);
    for (char& c : out.explanation)   // a macro's value may hold anything the client sent
        if (c < 0x20 || c > 0x7e)
            c = '?';
    return out;
}

}
