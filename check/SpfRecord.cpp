// The SPF record's syntax: terms, mechanisms with their arguments, and modifiers.
#include "check/SpfRecord.h"
#include "mail/Domain.h"

#include <arpa/inet.h>

namespace Spf {

void Perm(const QByteArray& reason) { throw Stop{Result::PermError, reason}; }
void Temp(const QByteArray& reason) { throw Stop{Result::TempError, reason}; }

namespace {

constexpr int CidrDigits = 3;   // at most "128"; more digits would overflow toInt()
constexpr int VersionLength = 6;   // "v=spf1"

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
    if ((digits.size() > 1 && digits[0] == '0') || digits.size() > CidrDigits || digits.toInt() > most)
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

// Takes the qualifier off the front of a directive; "+" when none is written.
Result Qualifier(QByteArray& rest)
{
    Result result = Result::Pass;
    switch (rest[0]) {
    case '+': result = Result::Pass; break;
    case '-': result = Result::Fail; break;
    case '~': result = Result::SoftFail; break;
    case '?': result = Result::Neutral; break;
    default: return result;
    }
    rest.remove(0, 1);
    return result;
}

// ":domain" after include, exists, a, mx and ptr (required by the first two).
void ParseDomain(Directive& d, const QByteArray& args, bool required)
{
    if (args.isEmpty() && !required)
        return;
    Pieces pieces;
    if (!args.startsWith(':') || !ParseTargetDomain(QByteArrayView(args).sliced(1), pieces))
        Perm("invalid domain in \"" + d.text + "\"");
    d.domain = std::move(pieces);
}

// ":address[/length]" after ip4 and ip6.
void ParseNetwork(Directive& d, QByteArray args, bool six)
{
    if (!args.startsWith(':'))
        Perm("\"" + d.text + "\" needs an address");
    args.remove(0, 1);
    CutLength(args, six ? d.cidr6 : d.cidr4, d.text, six ? MaxCidr6 : MaxCidr4);
    d.network = ParseAddress(args, six);
    if (d.network.isNull())
        Perm("invalid address in \"" + d.text + "\"");
}

// The arguments of a and mx: dual-cidr-length = [ ip4-cidr-length ] [ "/" ip6-cidr-length ],
// "//N" taken off first, then the domain.
void ParseHostArgs(Directive& d, QByteArray args)
{
    QByteArray probe = args;
    int n = 0;
    if (CutLength(probe, n, d.text, MaxCidr6) && probe.endsWith('/')) {
        probe.chop(1);
        d.cidr6 = n;
        args = probe;
    }
    CutLength(args, d.cidr4, d.text, MaxCidr4);
    ParseDomain(d, args, false);
}

Directive ParseDirective(const QByteArray& term)
{
    Directive d;
    d.text = term;
    QByteArray rest = term;
    d.qualifier = Qualifier(rest);
    qsizetype k = 0;
    while (k < rest.size() && rest[k] != ':' && rest[k] != '/')
        ++k;
    const QByteArray name = rest.left(k).toLower();
    const QByteArray args = rest.mid(k);
    if (name == "all") {
        d.mechanism = Mechanism::All;
        if (!args.isEmpty())
            Perm("\"all\" takes nothing: \"" + term + "\"");
    } else if (name == "include" || name == "exists") {
        d.mechanism = name == "include" ? Mechanism::Include : Mechanism::Exists;
        ParseDomain(d, args, true);
    } else if (name == "ptr") {
        d.mechanism = Mechanism::Ptr;
        ParseDomain(d, args, false);
    } else if (name == "a" || name == "mx") {
        d.mechanism = name == "a" ? Mechanism::A : Mechanism::Mx;
        ParseHostArgs(d, args);
    } else if (name == "ip4" || name == "ip6") {
        d.mechanism = name == "ip4" ? Mechanism::Ip4 : Mechanism::Ip6;
        ParseNetwork(d, args, name == "ip6");
    } else {
        Perm("unknown mechanism \"" + term + "\"");
    }
    return d;
}

// The length of a modifier's name at the start of a term, 0 when the term is no modifier:
// name = ALPHA *( ALPHA / DIGIT / "-" / "_" / "." ), then "=".
qsizetype ModifierName(const QByteArray& term)
{
    if (!Alpha(term[0]))
        return 0;
    qsizetype k = 1;
    while (k < term.size() && (Alnum(term[k]) || term[k] == '-' || term[k] == '_' || term[k] == '.'))
        ++k;
    return k < term.size() && term[k] == '=' ? k : 0;
}

void ParseModifier(Record& record, const QByteArray& term, qsizetype k)
{
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

}

Record ParseRecord(const QByteArray& text)
{
    Record record;
    for (const char c : text)
        if (c < 0x20 || c > 0x7e)
            Perm("a character other than printable ASCII in the record");
    int terms = 0;
    for (qsizetype at = VersionLength, end = 0; at < text.size(); at = end + 1) {
        end = text.indexOf(' ', at);
        if (end < 0)
            end = text.size();
        const QByteArray term = text.mid(at, end - at);
        if (term.isEmpty())
            continue;
        if (++terms > MaxTerms)
            Perm("more than " + QByteArray::number(MaxTerms) + " terms in the record");
        if (const qsizetype k = ModifierName(term))
            ParseModifier(record, term, k);
        else
            record.directives.push_back(ParseDirective(term));
    }
    return record;
}

bool IsSpf(const QByteArray& text)
{
    return text.size() >= VersionLength && text.left(VersionLength).toLower() == "v=spf1"
           && (text.size() == VersionLength || text[VersionLength] == ' ');
}

bool Askable(QByteArrayView written)
{
    const QByteArray name = Mail::WithoutFinalDot(written);
    if (name.isEmpty() || name.size() > MaxNameLength)
        return false;
    qsizetype start = 0;
    for (qsizetype k = 0; k <= name.size(); ++k) {
        if (k < name.size() && name[k] != '.')
            continue;
        if (k == start || k - start > MaxLabelLength)
            return false;
        start = k + 1;
    }
    return true;
}

}
