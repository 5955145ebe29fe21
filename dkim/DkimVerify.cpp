// DKIM verification: the tags of each signature, its key from DNS, the body hash and the
// signature over the fields it names.
#include "dkim/DkimVerify.h"
#include "dkim/Dkim.h"

#include <QHash>
#include <algorithm>
#include <limits>
#include <memory>
#include <openssl/evp.h>
#include <openssl/x509.h>

namespace DkimVerify {

const char* Name(Result r)
{
    switch (r) {
    case Result::None: return "none";
    case Result::Pass: return "pass";
    case Result::Fail: return "fail";
    case Result::Neutral: return "neutral";
    case Result::Policy: return "policy";
    case Result::TempError: return "temperror";
    case Result::PermError: return "permerror";
    }
    return "none";
}

namespace {

bool White(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool Alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool Digit(char c) { return c >= '0' && c <= '9'; }

QByteArrayView Trimmed(QByteArrayView v)
{
    while (!v.isEmpty() && White(v.front()))
        v = v.sliced(1);
    while (!v.isEmpty() && White(v.back()))
        v.chop(1);
    return v;
}

// A value with its folding white space taken out (base64, i=, h= pieces).
QByteArray Solid(QByteArrayView v)
{
    QByteArray out;
    out.reserve(v.size());
    for (const char c : v)
        if (!White(c))
            out += c;
    return out;
}

// A value for a report: no white space, at most 256 characters.
QByteArray Shown(QByteArrayView v) { return Solid(v).left(256); }

// A domain name or selector: dot-separated labels of letters, digits, "-" and "_".
bool DomainName(QByteArrayView name)
{
    if (name.isEmpty() || name.size() > 253)
        return false;
    qsizetype label = 0;
    for (const char c : name) {
        if (c == '.') {
            if (label == 0)
                return false;
            label = 0;
        } else if (Alpha(c) || Digit(c) || c == '-' || c == '_') {
            if (++label > 63)
                return false;
        } else {
            return false;
        }
    }
    return label > 0;
}

// 1*DIGIT, saturating far beyond any time or length.
bool Number(QByteArrayView v, qint64& n)
{
    if (v.isEmpty())
        return false;
    n = 0;
    for (const char c : v) {
        if (!Digit(c))
            return false;
        n = n > std::numeric_limits<qint64>::max() / 20 ? n : n * 10 + (c - '0');
    }
    return true;
}

// A colon-separated list, each element without the white space around it.
QList<QByteArray> Colons(QByteArrayView v)
{
    QList<QByteArray> out;
    for (const QByteArrayView piece : QByteArrayView(v).toByteArray().split(':'))
        out << Trimmed(piece).toByteArray();
    return out;
}

bool Base64(QByteArrayView v, QByteArray& out)
{
    const QByteArray solid = Solid(v);
    for (const char c : solid)
        if (!Alpha(c) && !Digit(c) && c != '+' && c != '/' && c != '=')
            return false;
    auto decoded = QByteArray::fromBase64Encoding(solid, QByteArray::AbortOnBase64DecodingErrors);
    if (decoded.decodingStatus != QByteArray::Base64DecodingStatus::Ok)
        return false;
    out = decoded.decoded;
    return true;
}

const QByteArray* Find(const Tags& tags, const char* name)
{
    for (const auto& [n, v] : tags)
        if (n == name)
            return &v;
    return nullptr;
}

struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

// A key record of DNS (RFC 6376 3.6.1) for a signature of `algorithm` ("rsa-sha256" or
// "ed25519-sha256") whose i= is in `identityDomain` and d= is `domain` (both lower case).
// Null with `problem` set when it cannot be used.
Pkey ParseKey(const QByteArray& record, const QByteArray& algorithm, const QByteArray& identityDomain, const QByteArray& domain,
              QByteArray& problem)
{
    Tags tags;
    QByteArray error;
    if (!ParseTags(record, tags, error)) {
        problem = "key record does not parse: " + error;
        return nullptr;
    }
    if (const QByteArray* v = Find(tags, "v"); v && (*v != "DKIM1" || tags.first().first != "v")) {
        problem = *v != "DKIM1" ? "key record is not v=DKIM1" : "key record has v= after other tags";
        return nullptr;
    }
    if (const QByteArray* h = Find(tags, "h"); h && !Colons(*h).contains("sha256")) {
        problem = "key h= does not allow sha256";
        return nullptr;
    }
    const QByteArray* k = Find(tags, "k");
    const QByteArray type = k ? *k : QByteArray("rsa");
    if (type != "rsa" && type != "ed25519") {
        problem = "key k= is not a known key type";
        return nullptr;
    }
    if (!algorithm.startsWith(type + '-')) {
        problem = "key type " + type + " does not match a=" + algorithm;
        return nullptr;
    }
    if (const QByteArray* s = Find(tags, "s"); s) {
        const QList<QByteArray> services = Colons(*s);
        if (!services.contains("*") && !services.contains("email")) {
            problem = "key s= is not for email";
            return nullptr;
        }
    }
    if (const QByteArray* t = Find(tags, "t"); t && Colons(*t).contains("s") && identityDomain != domain) {
        problem = "key t=s does not allow i= in a subdomain";
        return nullptr;
    }
    const QByteArray* p = Find(tags, "p");
    QByteArray der;
    if (!p) {
        problem = "key record has no p=";
        return nullptr;
    }
    if (Solid(*p).isEmpty()) {
        problem = "key revoked";
        return nullptr;
    }
    if (!Base64(*p, der) || der.isEmpty()) {
        problem = "key p= is not base64";
        return nullptr;
    }
    const auto* data = reinterpret_cast<const unsigned char*>(der.constData());
    Pkey key;
    if (type == "ed25519") {
        if (der.size() == 32)
            key.reset(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, data, size_t(der.size())));
        if (!key)
            problem = "key p= is not an Ed25519 key";
        return key;
    }
    const unsigned char* at = data;
    key.reset(d2i_PUBKEY(nullptr, &at, long(der.size())));   // SubjectPublicKeyInfo, as RFC 6376 says
    if (!key) {
        at = data;   // a bare RSAPublicKey, as some publish
        key.reset(d2i_PublicKey(EVP_PKEY_RSA, nullptr, &at, long(der.size())));
    }
    if (!key || !EVP_PKEY_is_a(key.get(), "RSA")) {
        problem = "key p= is not an RSA key";
        return nullptr;
    }
    if (const int bits = EVP_PKEY_get_bits(key.get()); bits < MinRsaBits) {
        problem = "key too short: " + QByteArray::number(bits) + " bits";
        return nullptr;
    }
    return key;
}

bool VerifyData(EVP_PKEY* key, bool ed25519, const QByteArray& data, const QByteArray& signature)
{
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!ctx)
        return false;
    QByteArray input = data;
    if (ed25519) {   // RFC 8463: Ed25519 over the SHA-256 hash of the data
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        if (!EVP_Digest(data.constData(), size_t(data.size()), digest, &length, EVP_sha256(), nullptr))
            return false;
        input = QByteArray(reinterpret_cast<const char*>(digest), qsizetype(length));
    }
    return EVP_DigestVerifyInit(ctx.get(), nullptr, ed25519 ? nullptr : EVP_sha256(), nullptr, key) == 1
           && EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(signature.constData()), size_t(signature.size()),
                               reinterpret_cast<const unsigned char*>(input.constData()), size_t(input.size()))
                  == 1;
}

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
        if (eq >= 0 && Trimmed(item.first(eq)) == "b") {
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

// A field in simple form: as it is, a bare LF as CR LF.
QByteArray SimpleHeader(const QByteArray& raw)
{
    QByteArray out;
    out.reserve(raw.size() + 2);
    for (qsizetype i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\n' && (i == 0 || raw[i - 1] != '\r'))
            out += '\r';
        out += raw[i];
    }
    return out;
}

QByteArray Canonical(const QByteArray& raw, bool relaxed) { return relaxed ? Dkim::RelaxedHeader(raw) : SimpleHeader(raw); }

struct Context {
    Dns::Resolver& dns;
    const std::vector<Dkim::Field>& fields;
    QByteArrayView body;
    qint64 now;
    QHash<QByteArray, Dns::Answer> keys;                                   // by lower-case name
    QHash<std::pair<bool, qint64>, std::pair<QByteArray, qint64>> bodies;   // (relaxed, l) → hash, length
};

// What a signature says of itself, for the report.
void Describe(const Tags& tags, Signature& s)
{
    const auto shown = [&tags](const char* name) { return Find(tags, name) ? Shown(*Find(tags, name)) : QByteArray(); };
    s.domain = shown("d");
    s.selector = shown("s");
    s.algorithm = shown("a");
    s.identity = Find(tags, "i") ? shown("i") : "@" + s.domain;
    s.b = shown("b").left(8);
}

// Checks the signature in field `index`; fills `s`.
void Check(Context& c, size_t index, Signature& s)
{
    const QByteArray& raw = c.fields[index].raw;
    Tags tags;
    QByteArray error;
    const bool parsed = ParseTags(QByteArrayView(raw).sliced(raw.indexOf(':') + 1), tags, error);
    const auto tag = [&tags](const char* name) { return Find(tags, name); };
    Describe(tags, s);
    const auto verdict = [&s](Result r, const QByteArray& why) {
        s.result = r;
        s.reason = why;
    };
    if (!parsed)
        return verdict(Result::PermError, "signature tags do not parse: " + error);
    if (!tag("v"))
        return verdict(Result::PermError, "missing v=");
    if (*tag("v") != "1")
        return verdict(Result::PermError, "v= is not 1");
    for (const char* required : {"a", "b", "bh", "d", "h", "s"})
        if (!tag(required))
            return verdict(Result::PermError, QByteArray("missing ") + required + "=");
    const QByteArray algorithm = *tag("a");
    if (algorithm == "rsa-sha1")
        return verdict(Result::PermError, "rsa-sha1 is historic, RFC 8301");
    if (algorithm != "rsa-sha256" && algorithm != "ed25519-sha256")
        return verdict(Result::PermError, "a= is not a known algorithm");
    const bool ed25519 = algorithm == "ed25519-sha256";
    QByteArray signature, bodyHash;
    if (!Base64(*tag("b"), signature) || signature.isEmpty())
        return verdict(Result::PermError, "b= is not base64");
    if (!Base64(*tag("bh"), bodyHash) || bodyHash.isEmpty())
        return verdict(Result::PermError, "bh= is not base64");
    bool relaxedHeader = false, relaxedBody = false;
    if (const QByteArray* cv = tag("c")) {
        const QList<QByteArray> halves = cv->split('/');
        const auto kind = [](const QByteArray& k, bool& relaxed) {
            relaxed = k == "relaxed";
            return relaxed || k == "simple";
        };
        if (halves.size() > 2 || !kind(halves[0], relaxedHeader) || (halves.size() == 2 && !kind(halves[1], relaxedBody)))
            return verdict(Result::PermError, "c= is not a known canonicalization");
    }
    const QByteArray domain = tag("d")->toLower();
    if (!DomainName(domain))
        return verdict(Result::PermError, "d= is not a domain name");
    const QList<QByteArray> names = Colons(*tag("h"));
    for (const QByteArray& name : names) {
        if (name.isEmpty() || name.contains(' ') || name.contains('\t') || name.contains('\r') || name.contains('\n'))
            return verdict(Result::PermError, "h= does not parse");
    }
    if (!std::any_of(names.begin(), names.end(), [](const QByteArray& n) { return n.compare("from", Qt::CaseInsensitive) == 0; }))
        return verdict(Result::PermError, "h= does not sign From");
    QByteArray identityDomain = domain;
    if (const QByteArray* i = tag("i")) {
        const QByteArray identity = Solid(*i);
        const qsizetype at = identity.lastIndexOf('@');
        if (at < 0)
            return verdict(Result::PermError, "i= has no @");
        identityDomain = identity.mid(at + 1).toLower();
        if (identityDomain != domain && !identityDomain.endsWith('.' + domain))
            return verdict(Result::PermError, "i= is not within d=");
    }
    qint64 length = -1;
    if (const QByteArray* l = tag("l"); l && (!Number(*l, length) || l->size() > 76))
        return verdict(Result::PermError, "l= is not a number");
    if (const QByteArray* q = tag("q"); q && !Colons(*q).contains("dns/txt"))
        return verdict(Result::PermError, "q= names no known query method");
    const QByteArray selector = *tag("s");
    if (!DomainName(selector))
        return verdict(Result::PermError, "s= is not a selector");
    qint64 signedAt = -1, expires = -1;
    if (const QByteArray* t = tag("t"); t && !Number(*t, signedAt))
        return verdict(Result::PermError, "t= is not a number");
    if (const QByteArray* x = tag("x"); x && !Number(*x, expires))
        return verdict(Result::PermError, "x= is not a number");
    if (signedAt >= 0 && signedAt > c.now + ClockLeeway)
        return verdict(Result::PermError, "signature timestamp in the future");
    if (expires >= 0 && signedAt >= 0 && expires <= signedAt)
        return verdict(Result::PermError, "x= is not after t=");
    if (expires >= 0 && expires < c.now - ClockLeeway)
        return verdict(Result::PermError, "signature expired");

    // The key (6.1.2).
    const QByteArray keyName = (selector + "._domainkey." + domain).toLower();
    if (!c.keys.contains(keyName))
        c.keys.insert(keyName, c.dns.Query(keyName, Dns::Type::Txt));
    const Dns::Answer& answer = c.keys[keyName];
    if (answer.status == Dns::Status::TempError)
        return verdict(Result::TempError, "DNS lookup of the key failed");
    if (answer.status != Dns::Status::Ok || answer.records.isEmpty())
        return verdict(Result::PermError, "no key at " + keyName.left(200));
    std::vector<Pkey> keys;
    QByteArray problem;
    for (const QByteArray& record : answer.records) {
        QByteArray why;
        if (Pkey key = ParseKey(record, algorithm, identityDomain, domain, why))
            keys.push_back(std::move(key));
        else if (problem.isEmpty())
            problem = why;
    }
    if (keys.empty())
        return verdict(Result::PermError, problem);

    // The body (6.1.3).
    const auto bodyKey = std::make_pair(relaxedBody, length);
    if (!c.bodies.contains(bodyKey)) {
        qint64 total = 0;
        const QByteArray hash = Dkim::BodyHash(c.body, relaxedBody, length, &total);
        c.bodies.insert(bodyKey, {hash, total});
    }
    const auto& [hash, total] = c.bodies[bodyKey];
    if (length >= 0 && length > total)
        return verdict(Result::PermError, "l= is longer than the body");
    if (hash.isEmpty() || hash != bodyHash)
        return verdict(Result::Fail, "body hash did not verify");

    // The fields it signs, each name taking the lowest field of that name not yet taken; a
    // name with none left adds nothing. The signature itself is never among them (3.5, h=),
    // but comes last, without b= and without its line end.
    QHash<QByteArray, std::vector<size_t>> byName;
    for (size_t i = 0; i < c.fields.size(); ++i)
        if (i != index)
            byName[c.fields[i].name.toLower()].push_back(i);
    QByteArray data;
    for (const QByteArray& name : names) {
        auto found = byName.find(name.toLower());
        if (found == byName.end() || found->empty())
            continue;
        data += Canonical(c.fields[found->back()].raw, relaxedHeader);
        found->pop_back();
    }
    QByteArray self = Canonical(WithoutB(raw), relaxedHeader);
    if (self.endsWith("\r\n"))
        self.chop(2);
    data += self;
    for (const Pkey& key : keys)
        if (VerifyData(key.get(), ed25519, data, signature))
            return verdict(Result::Pass, {});
    return verdict(Result::Fail, "signature did not verify");
}

}

bool ParseTags(QByteArrayView text, Tags& tags, QByteArray& error)
{
    tags.clear();
    bool ok = true;
    const auto fault = [&](const QByteArray& why) {
        if (ok)
            error = why;
        ok = false;
    };
    const QList<QByteArray> items = text.toByteArray().split(';');
    for (qsizetype k = 0; k < items.size(); ++k) {
        const QByteArrayView item = Trimmed(items[k]);
        if (item.isEmpty()) {
            if (k + 1 < items.size())
                fault("empty tag");
            continue;   // a final ";" may end the list
        }
        const qsizetype eq = item.indexOf('=');
        if (eq < 0) {
            fault("tag without =");
            continue;
        }
        const QByteArrayView name = Trimmed(item.first(eq)), value = Trimmed(item.sliced(eq + 1));
        bool good = !name.isEmpty() && Alpha(name.front());
        for (const char c : name)
            good = good && (Alpha(c) || Digit(c) || c == '_');
        if (!good) {
            fault("bad tag name");
            continue;
        }
        bool printable = true;
        for (const char c : value)
            printable = printable && (White(c) || (uchar(c) >= 0x21 && uchar(c) <= 0x7e));
        if (!printable) {
            fault("bad character in " + name.toByteArray() + "=");
            continue;
        }
        if (Find(tags, name.toByteArray().constData())) {
            fault("duplicate " + name.toByteArray() + "=");
            continue;
        }
        tags.append({name.toByteArray(), value.toByteArray()});
    }
    return ok;
}

std::vector<Signature> Verify(Dns::Resolver& dns, const QByteArray& text, qint64 now)
{
    std::vector<Dkim::Field> fields;
    qsizetype bodyStart = text.size();
    const bool readable = Dkim::ParseHeader(text, fields, bodyStart);
    Context c{dns, fields, readable ? QByteArrayView(text).sliced(bodyStart) : QByteArrayView(), now, {}, {}};
    std::vector<Signature> found;
    int checked = 0;
    for (size_t i = 0; i < fields.size(); ++i) {
        if (fields[i].name.compare("DKIM-Signature", Qt::CaseInsensitive) != 0)
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
