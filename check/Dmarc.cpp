// DMARC: the From: domain, policy discovery, the record and alignment.
#include "check/Dmarc.h"
#include "check/PublicSuffix.h"
#include "mail/AddressList.h"
#include "mail/Header.h"

#include <QRandomGenerator>

namespace Dmarc {

const char* Name(Result r) { return Mail::Name(r); }

const char* Name(Policy p)
{
    switch (p) {
    case Policy::None: return "none";
    case Policy::Quarantine: return "quarantine";
    case Policy::Reject: return "reject";
    }
    return "none";
}

namespace {

// The tags of a record: name (lower case) and value, each trimmed; items without "=" left out.
QList<std::pair<QByteArray, QByteArray>> Tags(const QByteArray& text)
{
    QList<std::pair<QByteArray, QByteArray>> tags;
    for (const QByteArray& item : text.split(';')) {
        const qsizetype eq = item.indexOf('=');
        if (eq < 0)
            continue;
        tags.append({item.left(eq).trimmed().toLower(), item.mid(eq + 1).trimmed()});
    }
    return tags;
}

bool ReadPolicy(const QByteArray& value, Policy& p)
{
    const QByteArray v = value.toLower();
    if (v == "none")
        p = Policy::None;
    else if (v == "quarantine")
        p = Policy::Quarantine;
    else if (v == "reject")
        p = Policy::Reject;
    else
        return false;
    return true;
}

// A URI of rua= (RFC 7489 6.4: URI [ "!" size ]): a scheme, ":", something.
bool Uri(const QByteArray& text)
{
    const QByteArray uri = text.trimmed();
    const qsizetype colon = uri.indexOf(':');
    if (colon < 1 || colon + 1 >= uri.size())
        return false;
    for (qsizetype i = 0; i < colon; ++i) {
        const char c = uri[i];
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!letter && (i == 0 || !((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.')))
            return false;
    }
    for (const char c : uri)
        if (uchar(c) <= 0x20 || uchar(c) >= 0x7f)
            return false;
    return true;
}

bool DomainName(const QByteArray& name)
{
    if (name.isEmpty() || name.size() > 253)
        return false;
    for (const QByteArray& label : name.split('.')) {
        if (label.isEmpty() || label.size() > 63)
            return false;
        for (const char c : label)
            if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_'))
                return false;
    }
    return true;
}

QByteArray Bare(const QByteArray& domain) { return Mail::Domain(domain.trimmed()).Name(); }

Policy Milder(Policy p) { return p == Policy::Reject ? Policy::Quarantine : Policy::None; }

}

bool IsRecord(const QByteArray& text)
{
    const qsizetype semicolon = text.indexOf(';');
    const QByteArray first = semicolon < 0 ? text : text.left(semicolon);
    const qsizetype eq = first.indexOf('=');
    return eq > 0 && first.left(eq).trimmed() == "v" && first.mid(eq + 1).trimmed() == "DMARC1";
}

Record ParseRecord(const QByteArray& text)
{
    Record r;
    if (!IsRecord(text))
        return r;
    bool hasP = false, pValid = false, spValid = true;
    QList<QByteArray> seen;
    for (const auto& [name, value] : Tags(text)) {
        if (seen.contains(name))
            continue;   // the first counts
        seen << name;
        if (name == "p") {
            hasP = true;
            pValid = ReadPolicy(value, r.p);
        } else if (name == "sp") {
            r.hasSp = true;
            spValid = ReadPolicy(value, r.sp);
        } else if (name == "adkim") {
            r.strictDkim = value.toLower() == "s";
        } else if (name == "aspf") {
            r.strictSpf = value.toLower() == "s";
        } else if (name == "pct") {
            bool ok = false;
            const int pct = value.toInt(&ok);
            r.pct = ok && pct >= 0 && pct <= 100 ? pct : 100;
        } else if (name == "rua") {
            for (const QByteArray& uri : value.split(',')) {
                const qsizetype bang = uri.indexOf('!');
                if (Uri(bang < 0 ? uri : uri.left(bang)))
                    r.rua << uri.trimmed();
                r.ruaValid = !r.rua.isEmpty();
            }
        }
    }
    if (hasP && pValid && spValid) {
        r.valid = true;
        return r;
    }
    if (!r.ruaValid)
        return r;
    // As if the record were "v=DMARC1; p=none" (6.6.3 step 6).
    Record none;
    none.valid = true;
    none.ruaValid = true;
    none.rua = r.rua;
    return none;
}

QByteArray OrganizationalDomain(const QByteArray& domain) { return PublicSuffix::OrganizationalDomain(domain); }

bool Aligned(const QByteArray& a, const QByteArray& b, bool strict)
{
    const QByteArray x = PublicSuffix::Normalized(a), y = PublicSuffix::Normalized(b);
    if (x.isEmpty() || y.isEmpty())
        return false;
    return x == y || (!strict && OrganizationalDomain(x) == OrganizationalDomain(y));
}

namespace {

// The message's author domain (RFC 7489 6.6.1): the one domain of every mailbox of every From
// field, fields after an odd line too (a reader may show any of them), or "" with why there is
// none. Mailboxes of more than one domain leave the author untold: `several`.
QByteArray AuthorDomain(const QByteArray& text, QByteArray& why, bool& several)
{
    const Mail::Header header(text);
    QList<QByteArray> domains;
    bool from = false;
    for (const Mail::Field& f : header.Fields()) {
        if (!f.Is("from"))
            continue;
        from = true;
        for (const QByteArray& address : Mail::AddressList::Parse(f.Value()).addresses) {
            const QByteArray domain = PublicSuffix::Normalized(Mail::Address::Parse(address).domain.Name());
            if (!domains.contains(domain))
                domains << domain;
        }
    }
    several = domains.size() > 1;
    if (several)
        return why = "From names more than one domain", QByteArray();
    if (domains.isEmpty())
        return why = from ? "From names no mailbox" : "no From", QByteArray();
    if (domains.first().isEmpty())
        return why = "From has no domain", QByteArray();
    if (!DomainName(domains.first()))
        return why = "From domain is not a domain name", QByteArray();
    return domains.first();
}

}

Outcome Check(Dns::Resolver& dns, const QByteArray& text, const QByteArray& spfResult, const QByteArray& spfDomain,
              const QList<QByteArray>& dkimPassDomains, int sample)
{
    Outcome o;
    const auto verdict = [&o](Result r, const QByteArray& why) {
        o.result = r;
        o.reason = why;
        return o;
    };
    QByteArray problem;
    const QByteArray domain = AuthorDomain(text, problem, o.severalAuthors);
    if (domain.isEmpty())
        return verdict(Result::PermError, problem);
    o.fromDomain = domain;

    // Policy discovery (6.6.3): the From domain, then its organisational domain if it has none.
    QList<QByteArray> records;
    const auto ask = [&](const QByteArray& name) {
        const Dns::Answer a = dns.Query("_dmarc." + name, Dns::Type::Txt);
        records.clear();
        for (const QByteArray& r : a.records)
            if (IsRecord(r))
                records << r;
        o.policyDomain = name;
        return a.status != Dns::Status::TempError;
    };
    if (!ask(domain))
        return verdict(Result::TempError, "DNS lookup of the DMARC record failed");
    if (const QByteArray organizational = OrganizationalDomain(domain); records.isEmpty() && organizational != domain && !ask(organizational))
        return verdict(Result::TempError, "DNS lookup of the DMARC record failed");
    if (records.isEmpty()) {
        o.policyDomain.clear();
        return verdict(Result::None, "no DMARC record");
    }
    if (records.size() > 1)
        return verdict(Result::None, "more than one DMARC record at _dmarc." + o.policyDomain);
    const Record record = ParseRecord(records.first());
    if (!record.valid)
        return verdict(Result::None, "DMARC record without a valid p=");

    o.record = record;
    o.requested = o.policyDomain != domain && record.hasSp ? record.sp : record.p;

    // Alignment (3.1): a DKIM signature that passed, or SPF that passed, for the From domain.
    for (const QByteArray& d : dkimPassDomains)
        if (Aligned(d, domain, record.strictDkim))
            return verdict(Result::Pass, "DKIM d=" + Bare(d).left(253) + " aligned");
    if (spfResult.trimmed().compare("pass", Qt::CaseInsensitive) == 0 && Aligned(spfDomain, domain, record.strictSpf))
        return verdict(Result::Pass, "SPF " + Bare(spfDomain).left(253) + " aligned");

    const int roll = sample >= 0 ? sample % 100 : int(QRandomGenerator::global()->bounded(100));
    const bool sampled = roll < record.pct;
    o.policy = sampled ? o.requested : Milder(o.requested);
    QByteArray why = "no aligned DKIM or SPF";
    if (!sampled && o.requested != Policy::None)
        why += QByteArray(", outside pct=") + QByteArray::number(record.pct);
    return verdict(Result::Fail, why);
}

}
