// Messages with DKIM-Signature fields, key records and DMARC records holding anything.
// Input: a DMARC record (published at _dmarc.example.test) up to the first LF, a key record
// (at fuzz._domainkey.example.test) up to the second, then a message text as stored. The
// table also holds python3-dkim's keys of the seeds (py and pyed at python.test, the
// organisational domain's DMARC record there) and a name that fails (temp). Verification and
// the DMARC check never crash, give one result per signature, ask DNS within their limits,
// and pass only what their promises allow.
#include "FuzzSupport.h"
#include "dkim/DkimVerify.h"
#include "check/Dmarc.h"
#include "dkim/Dkim.h"

namespace {

// The keys that signed the seeds in fuzz/corpus/dkim (python3-dkim, 1024-bit RSA and Ed25519).
const char* const PyRsa = "v=DKIM1; k=rsa; p=MIGfMA0GCSqGSIb3DQEBAQUAA4GNADCBiQKBgQC5KE2/l086tXh5xmD2p5maczrplYRQo7qIYGKLE9Iw9INcr2AKQy/v/"
                          "v15vPEHdh3ie5xw6tnTKonX7IJ3XLLTryrdIWXn8AsoWlbRcm0bNp+uJfy/wBQ98Rc3KMZuldzQB69DIiXNc2ILOcDU7D5LtRHgC5cKwWCczsOupn6/XQIDAQAB";
const char* const PyEd = "v=DKIM1; k=ed25519; p=qtvhuZx8DD4VrK5fnUASXAUxLa/VvArXcM3GE+WJw4E=";
// When the seeds were signed: their t= is not in the future, and no x= of theirs has passed.
constexpr qint64 Now = 1796606400;

}

FUZZ_TARGET(dkim)
{
    const QByteArray input = Bytes(data, size);
    const qsizetype first = input.indexOf('\n'), second = first < 0 ? -1 : input.indexOf('\n', first + 1);
    const QByteArray dmarcRecord = first < 0 ? input : input.left(first);
    const QByteArray keyRecord = first < 0 ? QByteArray() : input.mid(first + 1, (second < 0 ? input.size() : second) - first - 1);
    const QByteArray text = second < 0 ? QByteArray() : input.mid(second + 1);

    Dns::Table table;
    table.Add("py._domainkey.python.test", Dns::Type::Txt, PyRsa);
    table.Add("pyed._domainkey.python.test", Dns::Type::Txt, PyEd);
    table.Set("temp._domainkey.python.test", Dns::Type::Txt, Dns::Status::TempError);
    table.Add("_dmarc.python.test", Dns::Type::Txt, "v=DMARC1; p=reject; sp=quarantine; adkim=s; pct=50");
    table.Add("_dmarc.example.test", Dns::Type::Txt, dmarcRecord);
    table.Add("fuzz._domainkey.example.test", Dns::Type::Txt, keyRecord);

    // The parsers alone.
    DkimVerify::Tags tags;
    QByteArray error;
    const bool parsed = DkimVerify::ParseTags(keyRecord, tags, error);
    FUZZ_CHECK(parsed == error.isEmpty(), "ParseTags: ok %d with error \"%s\"", int(parsed), error.constData());
    for (const auto& [name, value] : tags)
        FUZZ_CHECK(!name.isEmpty() && name.trimmed() == name && value.trimmed() == value, "ParseTags kept blanks around a tag");
    const Dmarc::Record record = Dmarc::ParseRecord(dmarcRecord);
    FUZZ_CHECK(!record.valid || Dmarc::IsRecord(dmarcRecord), "a record that is no DMARC record is valid");
    FUZZ_CHECK(record.pct >= 0 && record.pct <= 100, "pct=%d", record.pct);

    // DKIM: one result per signature, the rest after ten not checked, a query at most per
    // signature checked.
    const Mail::Header header(text);
    const bool readable = header.Readable();
    qsizetype signatures = 0;
    for (size_t i = 0; i < header.Leading(); ++i)
        signatures += header.Fields()[i].Is("DKIM-Signature");
    const auto found = DkimVerify::Verify(table, text, Now);
    FUZZ_CHECK(qsizetype(found.size()) == signatures, "%d results for %d signatures", int(found.size()), int(signatures));
    FUZZ_CHECK(table.queries <= std::min<qsizetype>(signatures, DkimVerify::MaxSignatures), "%d queries", table.queries);
    QList<QByteArray> passed;
    for (size_t i = 0; i < found.size(); ++i) {
        const DkimVerify::Signature& s = found[i];
        const QByteArray name = DkimVerify::Name(s.result);
        FUZZ_CHECK(s.result != DkimVerify::Result::None, "result %s", name.constData());   // policy: an l= that leaves body unsigned
        FUZZ_CHECK(s.reason.isEmpty() == (s.result == DkimVerify::Result::Pass), "%s with reason \"%s\"", name.constData(), s.reason.constData());
        FUZZ_CHECK(!readable || (i >= size_t(DkimVerify::MaxSignatures)) == (s.result == DkimVerify::Result::Neutral), "signature %d %s", int(i),
                   name.constData());
        FUZZ_CHECK(readable || s.result == DkimVerify::Result::PermError, "unreadable header, %s", name.constData());
        FUZZ_CHECK(s.b.size() <= 8 && s.domain.size() <= 256 && s.selector.size() <= 256 && s.identity.size() <= 257, "report too long");
        for (const QByteArray* v : {&s.domain, &s.selector, &s.algorithm, &s.identity, &s.b, &s.reason})
            for (const char c : *v)
                FUZZ_CHECK(uchar(c) >= 0x20 && uchar(c) < 0x7f && (v == &s.reason ? c != '(' && c != ')' : c != ' '), "unprintable report \"%s\"",
                           v->constData());
        if (s.result == DkimVerify::Result::Pass) {
            FUZZ_CHECK(s.algorithm == "rsa-sha256" || s.algorithm == "ed25519-sha256", "pass with a=%s", s.algorithm.constData());
            FUZZ_CHECK(!s.domain.isEmpty() && !s.selector.isEmpty() && s.b.size() == 8, "pass without d=, s= or b=");
            passed << s.domain;
        }
    }

    // DMARC over what passed: at most two more queries; pass only when aligned.
    const int before = table.queries;
    const bool spfPass = size % 2;
    const Dmarc::Outcome o = Dmarc::Check(table, text, spfPass ? "pass" : "fail", "example.test", passed, int(size % 100));
    FUZZ_CHECK(table.queries - before <= 2, "%d DMARC queries", table.queries - before);
    FUZZ_CHECK(!o.reason.isEmpty(), "DMARC %s without a reason", Dmarc::Name(o.result));
    FUZZ_CHECK(o.result == Dmarc::Result::Fail || o.policy == Dmarc::Policy::None, "policy %s with %s", Dmarc::Name(o.policy), Dmarc::Name(o.result));
    if (o.result == Dmarc::Result::Pass) {
        bool aligned = spfPass && Dmarc::Aligned("example.test", o.fromDomain, false);
        for (const QByteArray& d : passed)
            aligned = aligned || Dmarc::Aligned(d, o.fromDomain, false);
        FUZZ_CHECK(aligned, "DMARC pass for %s without an aligned domain", o.fromDomain.constData());
    }
    if (!o.fromDomain.isEmpty()) {
        const QByteArray org = Dmarc::OrganizationalDomain(o.fromDomain);
        FUZZ_CHECK(o.fromDomain == org || o.fromDomain.endsWith('.' + org), "organisational domain %s of %s", org.constData(), o.fromDomain.constData());
    }
    return 0;
}
