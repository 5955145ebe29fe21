// DKIM verification: the tags of each signature, its key from DNS, the body hash and the
// signature over the fields it names.
#include "dkim/DkimVerify.h"
#include "dkim/Canonical.h"
#include "dkim/KeyRecord.h"
#include "dkim/Tags.h"
#include "mail/Domain.h"
#include "mail/Header.h"

#include <QHash>
#include <algorithm>
#include <optional>

namespace DkimVerify {

const char* Name(Result r) { return Mail::Name(r); }

namespace {

// A value for a report: no white space, at most MaxShown characters; b= as header.b shows it.
constexpr qsizetype MaxShown = 256, ShownB = 8;
// An l= of more digits than this is no length we take.
constexpr qsizetype MaxLengthDigits = 76;
// A key name in a reason is cut to this many characters.
constexpr qsizetype MaxKeyNameShown = 200;

QByteArray Shown(QByteArrayView v) { return Solid(v).left(MaxShown); }

// The DKIM-Signature field with the value of b= taken out, white space around it too (RFC 6376
// 3.7), its own line end kept.
QByteArray WithoutB(const QByteArray& raw)
{
    qsizetype start = raw.indexOf(':') + 1;
    while (start > 0 && start <= raw.size()) {
        qsizetype end = raw.indexOf(';', start);
        if (end < 0)
            end = raw.size();
        const QByteArrayView item(raw.constData() + start, end - start);
        const qsizetype eq = item.indexOf('=');
        if (eq >= 0 && Solid(item.first(eq)) == "b") {
            qsizetype cut = end;
            if (end == raw.size() && raw.endsWith("\r\n"))
                cut -= 2;
            const qsizetype from = start + eq + 1;
            return raw.left(from) + raw.mid(std::max(from, cut));
        }
        start = end + 1;
    }
    return raw;
}

QByteArray Canonical(const QByteArray& raw, bool relaxed) { return relaxed ? Dkim::RelaxedHeader(raw) : Dkim::SimpleHeader(raw); }

struct Context {
    Dns::Resolver& dns;
    const std::vector<Mail::Field>& fields;
    QByteArrayView body;
    qint64 now;
    QHash<QByteArray, Dns::Answer> keys;                                   // by lower-case name
    QHash<std::pair<bool, qint64>, std::pair<QByteArray, qint64>> bodies;   // (relaxed, l) -> hash, length
};

// What a signature claims, read from its tags.
struct Claim {
    QByteArray algorithm;
    bool ed25519 = false;
    QByteArray signature, bodyHash;
    bool relaxedHeader = false, relaxedBody = false;
    QByteArray domain, identityDomain, selector;   // lower case
    QList<QByteArray> names;                       // h=
    qint64 length = -1;                            // l=; -1 for the whole body
};

struct Verdict {
    Result result;
    QByteArray reason;
};
using Found = std::optional<Verdict>;   // a verdict reached, or none yet

Found PermError(const QByteArray& why) { return Verdict{Result::PermError, why}; }

// What a signature says of itself, for the report.
void Describe(const Tags& tags, Signature& s)
{
    const auto shown = [&tags](const char* name) { return Find(tags, name) ? Shown(*Find(tags, name)) : QByteArray(); };
    s.domain = shown("d");
    s.selector = shown("s");
    s.algorithm = shown("a");
    s.identity = Find(tags, "i") ? shown("i") : "@" + s.domain;
    s.b = shown("b").left(ShownB);
}

// v=, the tags required, a=, b=, bh= and c=.
Found ReadForm(const Tags& tags, Claim& k)
{
    const auto tag = [&tags](const char* name) { return Find(tags, name); };
    if (!tag("v"))
        return PermError("missing v=");
    if (*tag("v") != "1")
        return PermError("v= is not 1");
    for (const char* required : {"a", "b", "bh", "d", "h", "s"})
        if (!tag(required))
            return PermError(QByteArray("missing ") + required + "=");
    k.algorithm = *tag("a");
    if (k.algorithm == "rsa-sha1")
        return PermError("rsa-sha1 is historic, RFC 8301");
    if (k.algorithm != "rsa-sha256" && k.algorithm != "ed25519-sha256")
        return PermError("a= is not a known algorithm");
    k.ed25519 = k.algorithm == "ed25519-sha256";
    if (!Base64(*tag("b"), k.signature) || k.signature.isEmpty())
        return PermError("b= is not base64");
    if (!Base64(*tag("bh"), k.bodyHash) || k.bodyHash.isEmpty())
        return PermError("bh= is not base64");
    if (const QByteArray* cv = tag("c")) {
        const QList<QByteArray> halves = cv->split('/');
        const auto kind = [](const QByteArray& form, bool& relaxed) {
            relaxed = form == "relaxed";
            return relaxed || form == "simple";
        };
        if (halves.size() > 2 || !kind(halves[0], k.relaxedHeader) || (halves.size() == 2 && !kind(halves[1], k.relaxedBody)))
            return PermError("c= is not a known canonicalization");
    }
    return std::nullopt;
}

// d=, h=, i=, l=, q= and s=.
Found ReadScope(const Tags& tags, Claim& k)
{
    const auto tag = [&tags](const char* name) { return Find(tags, name); };
    k.domain = tag("d")->toLower();
    if (!DomainName(k.domain))
        return PermError("d= is not a domain name");
    k.names = Colons(*tag("h"));
    for (const QByteArray& name : k.names)
        if (name.isEmpty() || name.contains(' ') || name.contains('\t') || name.contains('\r') || name.contains('\n'))
            return PermError("h= does not parse");
    if (std::none_of(k.names.begin(), k.names.end(), [](const QByteArray& n) { return n.compare("from", Qt::CaseInsensitive) == 0; }))
        return PermError("h= does not sign From");
    k.identityDomain = k.domain;
    if (const QByteArray* i = tag("i")) {
        const Mail::Address identity = Mail::Address::Parse(Solid(*i));
        if (!identity.hasDomain)
            return PermError("i= has no @");
        k.identityDomain = identity.domainText.toLower();
        if (k.identityDomain != k.domain && !k.identityDomain.endsWith('.' + k.domain))
            return PermError("i= is not within d=");
    }
    if (const QByteArray* l = tag("l"); l && (!Number(*l, k.length) || l->size() > MaxLengthDigits))
        return PermError("l= is not a number");
    if (const QByteArray* q = tag("q"); q && !Colons(*q).contains("dns/txt"))
        return PermError("q= names no known query method");
    k.selector = *tag("s");
    if (!DomainName(k.selector))
        return PermError("s= is not a selector");
    return std::nullopt;
}

// t= and x=, with ClockLeeway for clocks that are wrong.
Found ReadTimes(const Tags& tags, qint64 now)
{
    qint64 signedAt = -1, expires = -1;
    if (const QByteArray* t = Find(tags, "t"); t && !Number(*t, signedAt))
        return PermError("t= is not a number");
    if (const QByteArray* x = Find(tags, "x"); x && !Number(*x, expires))
        return PermError("x= is not a number");
    if (signedAt >= 0 && signedAt > now + ClockLeeway)
        return PermError("signature timestamp in the future");
    if (expires >= 0 && signedAt >= 0 && expires <= signedAt)
        return PermError("x= is not after t=");
    if (expires >= 0 && expires < now - ClockLeeway)
        return PermError("signature expired");
    return std::nullopt;
}

// The keys of the signature from DNS (6.1.2), each name asked once a message.
Found FetchKeys(Context& c, const Claim& k, std::vector<Pkey>& keys)
{
    const QByteArray keyName = (k.selector + "._domainkey." + k.domain).toLower();
    if (!c.keys.contains(keyName))
        c.keys.insert(keyName, c.dns.Query(keyName, Dns::Type::Txt));
    const Dns::Answer& answer = c.keys[keyName];
    if (answer.status == Dns::Status::TempError)
        return Verdict{Result::TempError, "DNS lookup of the key failed"};
    if (answer.status != Dns::Status::Ok || answer.records.isEmpty())
        return PermError("no key at " + keyName.left(MaxKeyNameShown));
    QByteArray problem;
    for (const QByteArray& record : answer.records) {
        QByteArray why;
        if (Pkey key = ParseKey(record, k.algorithm, k.identityDomain, k.domain, why))
            keys.push_back(std::move(key));
        else if (problem.isEmpty())
            problem = why;
    }
    return keys.empty() ? PermError(problem) : std::nullopt;
}

// The body hash (6.1.3), each form and length hashed once a message.
Found CheckBody(Context& c, const Claim& k)
{
    const auto bodyKey = std::make_pair(k.relaxedBody, k.length);
    if (!c.bodies.contains(bodyKey)) {
        qint64 total = 0;
        const QByteArray hash = Dkim::BodyHash(c.body, k.relaxedBody, k.length, &total);
        c.bodies.insert(bodyKey, {hash, total});
    }
    const auto& [hash, total] = c.bodies[bodyKey];
    if (k.length >= 0 && k.length > total)
        return PermError("l= is longer than the body");
    if (hash.isEmpty() || hash != k.bodyHash)
        return Verdict{Result::Fail, "body hash did not verify"};
    return std::nullopt;
}

// The fields it signs, each name taking the lowest field of that name not yet taken; a
// name with none left adds nothing. The signature itself is never among them (3.5, h=),
// but comes last, without b= and without its line end.
QByteArray SignedData(const Context& c, size_t index, const Claim& k)
{
    QHash<QByteArray, std::vector<size_t>> byName;
    for (size_t i = 0; i < c.fields.size(); ++i)
        if (i != index)
            byName[c.fields[i].name.toLower()].push_back(i);
    QByteArray data;
    for (const QByteArray& name : k.names) {
        auto found = byName.find(name.toLower());
        if (found == byName.end() || found->empty())
            continue;
        data += Canonical(c.fields[found->back()].raw, k.relaxedHeader);
        found->pop_back();
    }
    QByteArray self = Canonical(WithoutB(c.fields[index].raw), k.relaxedHeader);
    if (self.endsWith("\r\n"))
        self.chop(2);
    return data + self;
}

Verdict Judge(Context& c, size_t index, const Tags& tags)
{
    Claim k;
    Found found = ReadForm(tags, k);
    if (!found)
        found = ReadScope(tags, k);
    if (!found)
        found = ReadTimes(tags, c.now);
    std::vector<Pkey> keys;
    if (!found)
        found = FetchKeys(c, k, keys);
    if (!found)
        found = CheckBody(c, k);
    if (found)
        return *found;
    const QByteArray data = SignedData(c, index, k);
    // A body signed only in part could carry anything after that part (RFC 6376 8.2).
    const bool wholeBody = k.length < 0 || c.bodies[std::make_pair(k.relaxedBody, k.length)].second == k.length;
    for (const Pkey& key : keys)
        if (VerifyData(key.get(), k.ed25519, data, k.signature))
            return wholeBody ? Verdict{Result::Pass, {}} : Verdict{Result::Policy, "l= leaves part of the body unsigned"};
    return {Result::Fail, "signature did not verify"};
}

// Checks the signature in field `index`; fills `s`.
void Check(Context& c, size_t index, Signature& s)
{
    const QByteArray& raw = c.fields[index].raw;
    Tags tags;
    QByteArray error;
    const bool parsed = ParseTags(QByteArrayView(raw).sliced(raw.indexOf(':') + 1), tags, error);
    Describe(tags, s);
    const Verdict v = parsed ? Judge(c, index, tags) : Verdict{Result::PermError, "signature tags do not parse: " + error};
    s.result = v.result;
    s.reason = v.reason;
}

}

std::vector<Signature> Verify(Dns::Resolver& dns, const QByteArray& text, qint64 now)
{
    const Mail::Header header(text);
    const std::vector<Mail::Field>& fields = header.Fields();
    const bool readable = header.Readable();
    Context c{dns, fields, readable ? QByteArrayView(text).sliced(header.BodyStart()) : QByteArrayView(), now, {}, {}};
    std::vector<Signature> found;
    int checked = 0;
    // A header that cannot be read ends at its first line that is no field.
    const size_t count = readable ? fields.size() : header.Leading();
    for (size_t i = 0; i < count; ++i) {
        if (!fields[i].Is("DKIM-Signature"))
            continue;
        Signature s;
        if (readable && checked < MaxSignatures) {
            ++checked;
            Check(c, i, s);
        } else {
            Tags tags;
            QByteArray error;
            ParseTags(QByteArrayView(fields[i].raw).sliced(fields[i].raw.indexOf(':') + 1), tags, error);
            Describe(tags, s);
            if (!readable) {
                s.result = Result::PermError;
                s.reason = "a header line is not a field";
            } else {
                s.result = Result::Neutral;
                s.reason = "not checked: more than " + QByteArray::number(MaxSignatures) + " signatures";
            }
        }
        found.push_back(std::move(s));
    }
    return found;
}

}
