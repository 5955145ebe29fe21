// DKIM verification: messages signed by our own signer (dkim/Dkim), by hand here (any tag
// the test wants, signed with OpenSSL) and by Debian's python3-dkim (fixed texts below), then
// changed or not, against keys in a Dns::Table. tests/e2e/test_checks.py sends a few through
// the server (test_dkim_as_python3_dkim_says): rsa-sha256 simple/simple and ed25519-sha256
// signed by python3-dkim pass there, a changed body fails.
#include "TestSupport.h"
#include "dkim/DkimVerify.h"
#include "tests/support/DkimKeys.h"

using DkimVerify::Result;

namespace {

// The moment the python3-dkim texts were signed; every row verifies at it unless it says.
constexpr qint64 Now = 1796606321;

// Signed by python3-dkim 1.1.4 (dkim.sign, include_headers from:to:subject:date:message-id:from)
// with l=, over Python's text: the stored one has its "." line stuffed. Its other forms are
// signed afresh in tests/e2e/test_checks.py.
const QByteArray PyRsa = "v=DKIM1; k=rsa; p=MIGfMA0GCSqGSIb3DQEBAQUAA4GNADCBiQKBgQC5KE2/l086tXh5xmD2p5maczrplYRQo7qIYGKLE9Iw9INcr2AKQy/v/"
                         "v15vPEHdh3ie5xw6tnTKonX7IJ3XLLTryrdIWXn8AsoWlbRcm0bNp+uJfy/wBQ98Rc3KMZuldzQB69DIiXNc2ILOcDU7D5LtRHgC5cKwWCczsOupn6/XQIDAQAB";
const QByteArray PyText = "Received: from x\r\nFrom: Alice  <alice@python.test>\r\nTo: bob@example.test\r\nSubject: a  test\r\n\tfolded\r\n"
                          "Date: Mon, 1 Jan 2024 10:00:00 +0000\r\nMessage-ID: <p1@python.test>\r\n\r\nHello  there \r\n\r\n..dot\r\nend\r\n\r\n\r\n";
const QByteArray PyRelaxedLength =
    "DKIM-Signature: v=1; a=rsa-sha256; c=relaxed/relaxed; d=python.test;\r\n i=@python.test; l=26; q=dns/txt; s=py; t=1796606321; h=from : to :\r\n"
    " subject : date : message-id : from;\r\n bh=jXIkkYadbtTtE7pIxI70iG9DK1ToFb148IPj8yDD8x0=;\r\n"
    " b=Io5x6CsIR4eS/0nEAJeNUaHh3SrB1Asf6rf4yb0DgCVIXmskDkr7+5QQfyN7gA+z1dOWE\r\n DFaYTyy3glrtrwHLsG33arak7jfIIoKpkIujHM1GdgCBvrOxJZ7WqAGbla2cCHLI4JnrPYn\r\n"
    " Y2qpsZaWP8Tx2UFgBg+dpdy0oZNbuCY=\r\n";
// The keys every row finds; a row's own are at k._domainkey.example.test.
Lines BaseKeys()
{
    return {"sel._domainkey.example.test TXT " + Rsa().record, "ed._domainkey.example.test TXT " + Ed().record,
            "k1024._domainkey.example.test TXT " + Rsa1024().record, "short._domainkey.example.test TXT " + Rsa512().record,
            "py._domainkey.python.test TXT " + PyRsa};
}

// The value of tag `name` in a tag list written by this test ("" when absent).
QByteArray TagOf(const QByteArray& tags, const QByteArray& name)
{
    for (const QByteArray& item : tags.split(';')) {
        const qsizetype eq = item.indexOf('=');
        if (eq > 0 && item.left(eq).trimmed() == name)
            return item.mid(eq + 1).trimmed();
    }
    return {};
}

// A DKIM-Signature by hand on top of a stored text: `tags` are all but bh= and b= (bh= too when
// they hold one), written as given; bh= from their c= and l=, b= last, over the fields h=
// names (the lowest of each name first; one too many adds nothing) and the field itself.
QByteArray HandSigned(const QByteArray& text, const QByteArray& tags, const QByteArray& pem = Rsa().pem)
{
    const QByteArray c = TagOf(tags, "c");
    const bool relaxedHeader = c.startsWith("relaxed"), relaxedBody = c.endsWith("/relaxed");
    const Mail::Header header(text);
    if (!header.Readable())
        qFatal("HandSigned: the header does not parse");
    const std::vector<Mail::Field>& fields = header.Fields();
    const qsizetype bodyStart = header.BodyStart();
    QByteArray field = "DKIM-Signature: " + tags;
    if (TagOf(tags, "bh").isEmpty()) {
        const QByteArray l = TagOf(tags, "l");
        field += "; bh=" + Dkim::BodyHash(QByteArrayView(text).sliced(bodyStart), relaxedBody, l.isEmpty() ? -1 : l.toLongLong()).toBase64();
    }
    field += ";\r\n\tb=";
    QByteArray data;
    std::vector<bool> taken(fields.size());
    for (const QByteArray& name : TagOf(tags, "h").split(':'))
        for (size_t i = fields.size(); i-- > 0;)
            if (!taken[i] && fields[i].name.compare(name.trimmed(), Qt::CaseInsensitive) == 0) {
                taken[i] = true;
                data += relaxedHeader ? Dkim::RelaxedHeader(fields[i].raw) : fields[i].raw;
                break;
            }
    data += relaxedHeader ? Dkim::RelaxedHeader(field).chopped(2) : field;
    return field + SignData(pem, TagOf(tags, "a").startsWith("ed25519"), data).toBase64() + "\r\n" + text;
}

// Signed by our own signer for example.test: selector sel with Rsa(), and selector ed with
// Ed() beside it when `ed25519`.
QByteArray OwnSigned(const QByteArray& text, bool ed25519 = false) { return Signing("sel", ed25519).Sign(text, Now, true).header + text; }

const QByteArray Text = "Received: from far.test by near.test\r\nFrom: Demo <demo@example.test>\r\nTo: taro@example.org\r\nSubject: Hello\r\n"
                        "Date: Mon, 1 Jan 2024 10:00:00 +0000\r\nMessage-ID: <1@example.test>\r\n\r\nFirst line.\r\n..stuffed dot\r\n\r\nLast line.\r\n";
// The hand-made signature's usual tags, which a row changes with Tags().
const QByteArray Usual = "v=1; a=rsa-sha256; c=relaxed/relaxed; d=example.test; s=sel; t=" + QByteArray::number(Now - 60) + "; h=from:from:to:subject:date";

// The tags with `name` set to `value` (left out when `value` is "-"), at the end.
QByteArray Tags(const QByteArray& name, const QByteArray& value, const QByteArray& tags = Usual)
{
    QList<QByteArray> out;
    for (const QByteArray& tag : tags.split(';'))
        if (tag.trimmed().left(tag.trimmed().indexOf('=')) != name) out << tag.trimmed();
    if (value != "-") out << name + "=" + value;
    return out.join("; ");
}

// The text with `from` replaced by `to` once (the first).
QByteArray Changed(QByteArray text, const QByteArray& from, const QByteArray& to)
{
    const qsizetype at = text.indexOf(from);
    if (at < 0)
        qFatal("Changed: \"%s\" is not in the text", from.constData());
    return text.replace(at, from.size(), to);
}

QByteArray Report(const std::vector<DkimVerify::Signature>& found)
{
    QList<QByteArray> parts;
    for (const auto& s : found)
        parts << QByteArray(DkimVerify::Name(s.result)) + (s.reason.isEmpty() ? "" : " (" + s.reason + ")");
    return parts.join(" | ");
}

}

class TestDkimVerify : public QObject {
    Q_OBJECT
private slots:
    // Whole messages: what each signature gives, top to bottom.
    void verify_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<Lines>("dns");           // "name TXT record" over BaseKeys()
        QTest::addColumn<qint64>("now");
        QTest::addColumn<QByteArray>("expect");   // "result (reason)" of each signature, joined by " | "
        QTest::addColumn<QByteArray>("shown");    // what the top one says of itself, "d s a i b", whatever its result; "*": any b

        const QByteArray pass = "pass", badSignature = "fail (signature did not verify)", badBody = "fail (body hash did not verify)";
        const auto row = [](const char* name, const QByteArray& text, const QByteArray& expect, const Lines& dns = {}, qint64 now = Now,
                            const QByteArray& shown = {}) { QTest::newRow(name) << text << dns << now << expect << shown; };
        // Signed with the usual tags at k._domainkey.example.test, which publishes `records`.
        const QByteArray atK = HandSigned(Text, Tags("s", "k"));
        const auto key = [&atK](const char* name, const Lines& records, const QByteArray& expect) {
            Lines dns;
            for (const QByteArray& r : records)
                dns << "k._domainkey.example.test TXT " + r;
            QTest::newRow(name) << atK << dns << Now << expect << QByteArray();
        };

        // Our own signer: rsa-sha256 and ed25519-sha256, relaxed/relaxed, From signed twice.
        const QByteArray own = OwnSigned(Text), both = OwnSigned(Text, true);
        const qsizetype b = both.indexOf("b=", both.indexOf("bh=") + 3) + 2;
        row("own rsa-sha256 and ed25519-sha256", both, "pass | pass", {}, Now,
            "example.test sel rsa-sha256 @example.test " + QByteArray(both.mid(b, 20)).replace("\r\n\t", "").left(8));
        row("own: changed signed field", Changed(both, "Subject: Hello", "Subject: Hullo"), badSignature + " | " + badSignature);
        row("own: From added on top (From oversigned)", Changed(both, "\r\nReceived: ", "\r\nFrom: evil@evil.test\r\nReceived: "), badSignature + " | " + badSignature);
        row("own: blanks and folding changed (relaxed)", Changed(both, "Subject: Hello", "SUBJECT:\r\n \t Hello  "), "pass | pass");
        row("own: stuffed dot left unstuffed", Changed(both, "..stuffed", ".stuffed"), badBody + " | " + badBody);
        row("own: lower-case field name", QByteArray(own).replace("DKIM-Signature:", "dkim-signature:"), pass);
        row("own signature ten days later", both, "pass | pass", {}, Now + 864000);

        // python3-dkim's signature with l=, the text stored with its "." stuffed.
        row("python3-dkim relaxed/relaxed l= of the whole body", PyRelaxedLength + PyText, pass);
        row("python3-dkim relaxed/relaxed l=, text appended", PyRelaxedLength + PyText + "Appended by a list\r\n",
            "policy (l= leaves part of the body unsigned)");

        // By hand: the canonicalisations' defaults, and each key.
        row("hand c=relaxed is relaxed/simple: trailing blank added", Changed(HandSigned(Text, Tags("c", "relaxed")), "Last line.", "Last line. "), badBody);
        row("hand no c= is simple/simple: field refolded", Changed(HandSigned(Text, Tags("c", "-")), "Subject: Hello", "Subject:\r\n Hello"), badSignature);
        row("hand 512-bit key", HandSigned(Text, Tags("s", "short"), Rsa512().pem), "permerror (key too short: 512 bits)");
        row("hand Ed25519 key of 31 bytes", HandSigned(Text, Tags("s", "k", Tags("a", "ed25519-sha256")), Ed().pem),
            "permerror (key p= is not an Ed25519 key)", {"k._domainkey.example.test TXT v=DKIM1; k=ed25519; p=" + Ed().der.left(31).toBase64()});

        // Fields: bottom up, repeated names, the signature below.
        const QByteArray twoTo = Changed(Text, "To: taro@example.org\r\n", "To: first@example.org\r\nTo: second@example.org\r\n");
        row("hand h= To once, top To changed", Changed(HandSigned(twoTo, Tags("h", "from:to")), "first@", "third@"), pass);
        row("hand h= To once, bottom To changed", Changed(HandSigned(twoTo, Tags("h", "from:to")), "second@", "third@"), badSignature);
        row("hand h= signs DKIM-Signature, none there (not itself)", HandSigned(Text, Tags("h", "from:dkim-signature")), pass);
        row("hand h= signs the signature below", HandSigned(HandSigned(Text, Usual), Tags("c", "simple/simple", Tags("h", "from:dkim-signature:dkim-signature",
                                                                                                    Tags("s", "k1024"))), Rsa1024().pem), "pass | pass");

        // l=: only that much of the canonical body is hashed.
        const qsizetype relaxedLength = Dkim::RelaxedBody(Text.mid(Text.indexOf("\r\n\r\n") + 4)).size();
        row("hand l= longer than the body", HandSigned(Text, Tags("l", QByteArray::number(relaxedLength + 1), Tags("bh", "AAAA"))),
            "permerror (l= is longer than the body)");
        row("hand l= of 77 digits", HandSigned(Text, Tags("l", QByteArray(77, '9'), Tags("bh", "AAAA"))), "permerror (l= is not a number)");
        row("hand simple l= of the empty body, text appended", HandSigned("From: a@example.test\r\n\r\n", Tags("l", "2", Tags("c", "simple/simple"))) + "more\r\n",
            badBody);   // its CR LF is not the start of the new body

        // t= and x=, with python3-dkim's leeway of ten hours.
        const QByteArray dayAgo = QByteArray::number(Now - 86400);
        row("hand x= past the leeway", HandSigned(Text, Tags("t", dayAgo, Tags("x", QByteArray::number(Now - DkimVerify::ClockLeeway - 1)))),
            "permerror (signature expired)");
        row("hand x= at the leeway", HandSigned(Text, Tags("t", dayAgo, Tags("x", QByteArray::number(Now - DkimVerify::ClockLeeway)))), pass);
        row("hand x= equal to t=", HandSigned(Text, Tags("x", QByteArray::number(Now - 60))), "permerror (x= is not after t=)");
        row("hand t= in the future past the leeway", HandSigned(Text, Tags("t", QByteArray::number(Now + DkimVerify::ClockLeeway + 1))),
            "permerror (signature timestamp in the future)");
        row("hand t= not a number", HandSigned(Text, Tags("t", "soon")), "permerror (t= is not a number)");

        // The signature's tags (RFC 6376 3.2: name=value, folding white space around them).
        const std::pair<QByteArray, const char*> tags[] = {
            {Tags("i", "@badexample.test"), "i= is not within d="}, {Tags("i", "example.test"), "i= has no @"},
            {Tags("v", "2"), "v= is not 1"}, {Tags("bh", "not.base64"), "bh= is not base64"},
            {Tags("a", "rsa-sha1"), "rsa-sha1 is historic, RFC 8301"}, {Tags("a", "rsa-sha512"), "a= is not a known algorithm"},
            {Tags("c", "relaxed/bogus"), "c= is not a known canonicalization"}, {Tags("h", "to:subject"), "h= does not sign From"},
            {Tags("h", "from::to"), "h= does not parse"}, {Tags("q", "https"), "q= names no known query method"},
            {Tags("d", "exa(mple).test"), "d= is not a domain name"}, {Tags("s", "a..b"), "s= is not a selector"},
            {Usual + ";; x=1", "signature tags do not parse: empty tag"}, {Usual + "; 1a=x", "signature tags do not parse: bad tag name"},
            {Usual + "; x=caf\xc3\xa9", "signature tags do not parse: bad character in x="}};
        for (const auto& [t, why] : tags)
            QTest::newRow(why) << HandSigned(Text, t) << Lines{} << Now << "permerror (" + QByteArray(why) + ")" << QByteArray();
        row("hand missing d=", HandSigned(Text, Tags("d", "-")), "permerror (missing d=)", {}, Now, " sel rsa-sha256 @ *");
        row("hand duplicate tag: shown as far as it reads", HandSigned(Text, Usual + "; d=x"), "permerror (signature tags do not parse: duplicate d=)",
            {}, Now, "example.test sel rsa-sha256 @example.test *");
        row("hand i= folded: shown without blanks", HandSigned(Text, Tags("i", "demo@\r\n mail.example.test")), pass, {}, Now,
            "example.test sel rsa-sha256 demo@mail.example.test *");
        row("hand q=dns/txt among others", HandSigned(Text, Tags("q", "x-other:dns/txt")), pass);
        QByteArray emptyB = HandSigned(Text, Usual);
        const qsizetype bAt = emptyB.indexOf("\tb=") + 3;
        row("hand b= empty", emptyB.remove(bAt, emptyB.indexOf("\r\n", bAt) - bAt), "permerror (b= is not base64)");

        // The key record.
        const QByteArray p = "p=" + Rsa().der.toBase64();
        row("key: missing (NXDOMAIN)", HandSigned(Text, Tags("s", "gone")), "permerror (no key at gone._domainkey.example.test)");
        key("key: DNS failure", {"!TEMP"}, "temperror (DNS lookup of the key failed)");
        unsigned char* bare = nullptr;
        const int bareSize = i2d_PublicKey(Private(Rsa().pem).get(), &bare);
        key("key: bare RSAPublicKey", {"v=DKIM1; p=" + QByteArray(reinterpret_cast<char*>(bare), bareSize).toBase64()}, pass);
        OPENSSL_free(bare);
        key("key: EC key as k=rsa", {Ec().record}, "permerror (key p= is not an RSA key)");
        key("key: revoked", {"v=DKIM1; k=rsa; p="}, "permerror (key revoked)");
        key("key: no p=", {"v=DKIM1; k=rsa"}, "permerror (key record has no p=)");
        key("key: v=DKIM2", {"v=DKIM2; " + p}, "permerror (key record is not v=DKIM1)");
        key("key: v= not first", {"k=rsa; v=DKIM1; " + p}, "permerror (key record has v= after other tags)");
        key("key: a final ; and folding white space", {"v=DKIM1 ;\r\n\tk = rsa; " + p + ";"}, pass);
        key("key: does not parse", {"v=DKIM1; " + p + "; junk"}, "permerror (key record does not parse: tag without =)");
        key("key: h=sha1", {"v=DKIM1; h=sha1; " + p}, "permerror (key h= does not allow sha256)");
        key("key: k=ed25519 for rsa-sha256", {"v=DKIM1; k=ed25519; " + p}, "permerror (key type ed25519 does not match a=rsa-sha256)");
        key("key: k=dsa", {"v=DKIM1; k=dsa; " + p}, "permerror (key k= is not a known key type)");
        key("key: s=tlsrpt", {"v=DKIM1; s=tlsrpt; " + p}, "permerror (key s= is not for email)");
        row("key: t=s, i= a subdomain", HandSigned(Text, Tags("s", "k", Tags("i", "demo@mail.example.test"))),
            "permerror (key t=s does not allow i= in a subdomain)", {"k._domainkey.example.test TXT v=DKIM1; t=s; " + p});
        key("key: three records: no key, another key, the key", {"v=spf1 -all", Rsa1024().record, Rsa().record}, pass);

        // More than ten signatures; an unreadable header; none.
        QByteArray many = Text;
        for (int i = 0; i < 12; ++i)
            many = HandSigned(many, Tags("s", i % 2 ? "sel" : "k1024"), i % 2 ? Rsa().pem : Rsa1024().pem);
        QList<QByteArray> manyExpect(10, "pass");
        manyExpect << "neutral (not checked: more than 10 signatures)" << "neutral (not checked: more than 10 signatures)";
        row("twelve signatures", many, manyExpect.join(" | "));
        QByteArray fourSel = Text;
        for (int i = 0; i < 4; ++i)
            fourSel = HandSigned(fourSel, Usual);
        row("four signatures of one key, one unusable", HandSigned(fourSel, Tags("v", "2")), "permerror (v= is not 1) | pass | pass | pass | pass");
        row("header that cannot be read", Changed(own, "\r\n\r\n", "\r\nnot a field\r\n\r\n"), "permerror (a header line is not a field)");
        row("no signature", Text, "");
    }
    void verify()
    {
        QFETCH(QByteArray, text); QFETCH(Lines, dns); QFETCH(qint64, now); QFETCH(QByteArray, expect); QFETCH(QByteArray, shown);
        Dns::Table table;
        FillDns(table, BaseKeys() + dns);
        const auto found = DkimVerify::Verify(table, text, now);
        QCOMPARE(Report(found), expect);
        if (!shown.isEmpty()) {
            const DkimVerify::Signature& s = found.front();
            QCOMPARE(s.domain + ' ' + s.selector + ' ' + s.algorithm + ' ' + s.identity + ' ' + (shown.endsWith('*') ? "*" : s.b), shown);
            QCOMPARE(s.b.size(), 8);
        }
        QSet<QByteArray> names;   // each key name is asked once at most, however many signatures name it
        for (const auto& s : found) {
            QVERIFY2(!s.reason.contains('(') && !s.reason.contains(')'), s.reason.constData());   // it goes into a header comment
            if (s.result != Result::Neutral) names << s.selector + '.' + s.domain;
        }
        QVERIFY2(table.queries <= names.size(), QByteArray::number(table.queries).constData());
    }

    // The simple body (RFC 6376 3.4.3) and the hash of a part of a canonical body (l=).
    void simpleBody_data()
    {
        QTest::addColumn<QByteArray>("in");
        QTest::addColumn<QByteArray>("out");
        QTest::newRow("RFC 6376 3.4.5") << QByteArray(" C \r\nD \t E\r\n\r\n\r\n") << QByteArray(" C \r\nD \t E\r\n");
        QTest::newRow("empty") << QByteArray() << QByteArray("\r\n");
        QTest::newRow("stuffed dots") << QByteArray("..a\r\n..\r\n\r\n") << QByteArray(".a\r\n.\r\n");
        const QByteArray y(200000, 'y');
        QTest::newRow("line longer than a piece") << y + "\r\n\r\n" << y + "\r\n";
    }
    void simpleBody()
    {
        QFETCH(QByteArray, in); QFETCH(QByteArray, out);
        QCOMPARE(Dkim::SimpleBody(in), out);
        qint64 length = -1;
        QCOMPARE(Dkim::BodyHash(in, false, -1, &length), QCryptographicHash::hash(out, QCryptographicHash::Sha256));
        QCOMPARE(length, out.size());
        QCOMPARE(Dkim::BodyHash(in, false, 3, &length), QCryptographicHash::hash(out.left(3), QCryptographicHash::Sha256));
        QCOMPARE(length, out.size());
        const QByteArray relaxed = Dkim::RelaxedBody(in);
        QCOMPARE(Dkim::BodyHash(in, true, 1, &length), QCryptographicHash::hash(relaxed.left(1), QCryptographicHash::Sha256));
        QCOMPARE(length, relaxed.size());
    }
};

QTEST_GUILESS_MAIN(TestDkimVerify)
#include "test_dkimverify.moc"
