// DKIM verification: messages signed by our own signer (dkim/Dkim), by hand here (any tag
// the test wants, signed with OpenSSL) and by Debian's python3-dkim (fixed texts below), then
// changed or not, against keys in a Dns::Table. tests/e2e/test_checks.py sends a few through
// the server (test_dkim_as_python3_dkim_says): rsa-sha256 simple/simple and ed25519-sha256
// signed by python3-dkim pass there, a changed body fails.
#include "TestSupport.h"
#include "dkim/DkimVerify.h"
#include "dkim/Dkim.h"
#include "tests/support/DkimKeys.h"

#include <QMap>
#include <sys/stat.h>

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
// The keys every row finds, by name; a row's own entries replace those of a name.
QMap<QByteArray, Lines> BaseKeys()
{
    return {
        {"sel._domainkey.example.test", {Rsa().record}},
        {"ed._domainkey.example.test", {Ed().record}},
        {"k1024._domainkey.example.test", {Rsa1024().record}},
        {"short._domainkey.example.test", {Rsa512().record}},
        {"py._domainkey.python.test", {PyRsa}},
    };
}

// A table of the base keys with a row's entries "name|record" over them; the record "!temp"
// makes the name a DNS failure, "!nodata" a name without TXT.
void Fill(Dns::Table& table, const Lines& entries)
{
    QMap<QByteArray, Lines> keys = BaseKeys();
    QSet<QByteArray> replaced;
    for (const QByteArray& e : entries) {
        const qsizetype bar = e.indexOf('|');
        const QByteArray name = e.left(bar), record = e.mid(bar + 1);
        if (!replaced.contains(name)) {
            keys[name].clear();
            replaced.insert(name);
        }
        keys[name] << record;
    }
    for (auto it = keys.begin(); it != keys.end(); ++it)
        for (const QByteArray& record : it.value()) {
            if (record == "!temp")
                table.Set(it.key(), Dns::Type::Txt, Dns::Status::TempError);
            else if (record == "!nodata")
                table.Set(it.key(), Dns::Type::Txt, Dns::Status::NoData);
            else
                table.Add(it.key(), Dns::Type::Txt, record);
        }
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

// Signed by our own signer (dkim/Dkim) for example.test: selector sel with Rsa(), and
// selector ed with Ed() beside it when `ed25519`.
QByteArray OwnSigned(const QByteArray& text, bool ed25519 = false)
{
    ProgramFolder pf;
    mdlCommon::ServerDomain = "example.test";
    Settings settings;
    settings.DkimSelector = "sel";
    settings.DkimEd25519Selector = "ed";
    pf.Write("rsa.pem", Rsa().pem);
    ::chmod(QFile::encodeName(pf.Path("rsa.pem")).constData(), 0600);
    settings.DkimKey = "rsa.pem";
    if (ed25519) {
        pf.Write("ed.pem", Ed().pem);
        ::chmod(QFile::encodeName(pf.Path("ed.pem")).constData(), 0600);
        settings.DkimEd25519Key = "ed.pem";
    }
    Dkim::Load(settings);
    const Dkim::Signature s = Dkim::Sign(text, Now, true);
    Dkim::Unload();
    if (s.header.isEmpty())
        qFatal("OwnSigned: not signed: %s", s.error.constData());
    return s.header + text;
}

const QByteArray Text = "Received: from far.test by near.test\r\nFrom: Demo <demo@example.test>\r\nTo: taro@example.org\r\nSubject: Hello\r\n"
                        "Date: Mon, 1 Jan 2024 10:00:00 +0000\r\nMessage-ID: <1@example.test>\r\n\r\nFirst line.\r\n..stuffed dot\r\n\r\nLast line.\r\n";
// The hand-made signature's usual tags, which a row changes with Tags().
const QByteArray Usual = "v=1; a=rsa-sha256; c=relaxed/relaxed; d=example.test; s=sel; t=" + QByteArray::number(Now - 60) + "; h=from:from:to:subject:date";

// The usual tags with `name` set to `value` (left out when `value` is "-"), or added at the end.
QByteArray Tags(const QByteArray& name, const QByteArray& value, const QByteArray& tags = Usual)
{
    QList<QByteArray> out;
    bool found = false;
    for (const QByteArray& tag : tags.split(';')) {
        if (tag.left(tag.indexOf('=')).trimmed() == name) {
            found = true;
            if (value != "-")
                out << " " + name + "=" + value;
        } else {
            out << tag;
        }
    }
    if (!found && value != "-")
        out << " " + name + "=" + value;
    QByteArray joined = out.join(';');
    return joined.startsWith(' ') ? joined.mid(1) : joined;
}

// The text with `from` replaced by `to` once (the first).
QByteArray Changed(QByteArray text, const QByteArray& from, const QByteArray& to)
{
    const qsizetype at = text.indexOf(from);
    if (at < 0)
        qFatal("Changed: \"%s\" is not in the text", from.constData());
    return text.replace(at, from.size(), to);
}

// The text with `field` put right under the DKIM-Signature fields (on top of the rest).
QByteArray UnderSignatures(const QByteArray& signedText, const QByteArray& field)
{
    return Changed(signedText, "\r\nReceived: ", "\r\n" + field + "Received: ");
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
    void cleanupTestCase() { Dkim::Unload(); }

    // RFC 6376 3.2: name=value tags, folding white space around them, a final ";" allowed.
    void tags_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QByteArray>("tags");    // "name=value|..." of what is kept
        QTest::addColumn<QByteArray>("error");   // "" when it parses
        QTest::newRow("final ;") << QByteArray("a=1;") << QByteArray("a=1") << QByteArray();
        QTest::newRow("folding") << QByteArray("\r\n a \t= 1 \r\n\t;\r\n b=x  y\r\n z ") << QByteArray("a=1|b=x  y\r\n z") << QByteArray();
        QTest::newRow("empty tag") << QByteArray("a=1;; c=3") << QByteArray("a=1|c=3") << QByteArray("empty tag");
        QTest::newRow("name starts with a digit") << QByteArray("1a=x; b=2") << QByteArray("b=2") << QByteArray("bad tag name");
        QTest::newRow("8-bit value") << QByteArray("a=caf\xc3\xa9") << QByteArray() << QByteArray("bad character in a=");
    }
    void tags()
    {
        QFETCH(QByteArray, text); QFETCH(QByteArray, tags); QFETCH(QByteArray, error);
        DkimVerify::Tags got;
        QByteArray why;
        QCOMPARE(DkimVerify::ParseTags(text, got, why), error.isEmpty());
        QCOMPARE(why, error);
        QList<QByteArray> seen;
        for (const auto& [n, v] : got)
            seen << n + '=' + v;
        QCOMPARE(seen.join('|'), tags);
    }

    // Whole messages: what each signature gives, top to bottom.
    void verify_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<Lines>("dns");           // "name|record" over BaseKeys()
        QTest::addColumn<qint64>("now");
        QTest::addColumn<QByteArray>("expect");   // "result (reason)" of each signature, joined by " | "

        const Lines none;
        const QByteArray pass = "pass";
        const auto row = [](const char* name, const QByteArray& text, const QByteArray& expect, const Lines& dns = {}, qint64 now = Now) {
            QTest::newRow(name) << text << dns << now << expect;
        };

        // Our own signer: rsa-sha256 and ed25519-sha256, relaxed/relaxed, From signed twice.
        const QByteArray own = OwnSigned(Text), both = OwnSigned(Text, true);
        row("own rsa-sha256 and ed25519-sha256", both, "pass | pass");
        row("own: changed signed field", Changed(both, "Subject: Hello", "Subject: Hullo"),
            "fail (signature did not verify) | fail (signature did not verify)");
        row("own: changed field it does not sign", Changed(both, "from far.test", "from elsewhere.test"), "pass | pass");
        row("own: From added on top (From oversigned)", UnderSignatures(both, "From: evil@evil.test\r\n"),
            "fail (signature did not verify) | fail (signature did not verify)");
        row("own: From added at the bottom", Changed(both, "\r\n\r\n", "\r\nFrom: evil@evil.test\r\n\r\n"),
            "fail (signature did not verify) | fail (signature did not verify)");
        row("own: To added on top (signed once: the lowest counts)", UnderSignatures(both, "To: evil@evil.test\r\n"), "pass | pass");
        row("own: blanks and folding changed (relaxed)", Changed(both, "Subject: Hello", "SUBJECT:\r\n \t Hello  "), "pass | pass");
        row("own: stuffed dot left unstuffed", Changed(both, "..stuffed", ".stuffed"), "fail (body hash did not verify) | fail (body hash did not verify)");
        row("own: lower-case field name", QByteArray(own).replace("DKIM-Signature:", "dkim-signature:"), pass);

        // python3-dkim's signature with l=, the text stored with its "." stuffed.
        row("python3-dkim relaxed/relaxed l=, text appended", PyRelaxedLength + PyText + "Appended by a list\r\n", pass);

        // By hand: the canonicalisations' defaults, and each key.
        row("hand c=relaxed is relaxed/simple: trailing blank added", Changed(HandSigned(Text, Tags("c", "relaxed")), "Last line.", "Last line. "),
            "fail (body hash did not verify)");
        row("hand no c= is simple/simple: field refolded", Changed(HandSigned(Text, Tags("c", "-")), "Subject: Hello", "Subject:\r\n Hello"),
            "fail (signature did not verify)");
        row("hand 1024-bit key", HandSigned(Text, Tags("s", "k1024"), Rsa1024().pem), pass);
        row("hand 512-bit key", HandSigned(Text, Tags("s", "short"), Rsa512().pem), "permerror (key too short: 512 bits)");
        row("hand signed with another key", HandSigned(Text, Usual, Rsa1024().pem), "fail (signature did not verify)");
        row("hand bare RSAPublicKey", HandSigned(Text, Usual), pass, {"sel._domainkey.example.test|v=DKIM1; p=" + [] {
                EVP_PKEY* k = Private(Rsa().pem);
                unsigned char* der = nullptr;
                const int n = i2d_PublicKey(k, &der);
                const QByteArray b64 = QByteArray(reinterpret_cast<char*>(der), n).toBase64();
                OPENSSL_free(der);
                EVP_PKEY_free(k);
                return b64;
            }()});
        row("hand EC key as k=rsa", HandSigned(Text, Usual), "permerror (key p= is not an RSA key)", {"sel._domainkey.example.test|" + Ec().record});
        row("hand Ed25519 key of 31 bytes", HandSigned(Text, Tags("s", "ed", Tags("a", "ed25519-sha256")), Ed().pem),
            "permerror (key p= is not an Ed25519 key)", {"ed._domainkey.example.test|v=DKIM1; k=ed25519; p=" + Ed().der.left(31).toBase64()});

        // Fields: bottom up, repeated names, names with no field left (over-signed).
        const QByteArray twoTo = Changed(Text, "To: taro@example.org\r\n", "To: first@example.org\r\nTo: second@example.org\r\n");
        row("hand h= To twice, To changed", Changed(HandSigned(twoTo, Tags("h", "from:to:to")), "first@", "third@"), "fail (signature did not verify)");
        row("hand h= To once, top To changed", Changed(HandSigned(twoTo, Tags("h", "from:to")), "first@", "third@"), pass);
        row("hand h= To once, bottom To changed", Changed(HandSigned(twoTo, Tags("h", "from:to")), "second@", "third@"), "fail (signature did not verify)");
        row("hand h= names a field not there, added later", Changed(HandSigned(Text, Tags("h", "from:reply-to:subject")), "\r\n\r\n", "\r\nReply-To: x@y\r\n\r\n"),
            "fail (signature did not verify)");
        row("hand h= signs DKIM-Signature, none there (not itself)", HandSigned(Text, Tags("h", "from:dkim-signature")), pass);
        const QByteArray outer = HandSigned(HandSigned(Text, Usual), Tags("c", "simple/simple", Tags("h", "from:dkim-signature:dkim-signature", Tags("s", "k1024"))),
                                            Rsa1024().pem);
        row("hand h= signs the signature below", outer, "pass | pass");
        row("hand h= signs the signature below, which is refolded (relaxed)", Changed(outer, "t=" + QByteArray::number(Now - 60) + "; h=from:from",
                                                                       "t=" + QByteArray::number(Now - 60) + ";  h=from:from"),
            "fail (signature did not verify) | pass");

        // l=: only that much of the canonical body is hashed.
        const qsizetype relaxedLength = Dkim::RelaxedBody(Text.mid(Text.indexOf("\r\n\r\n") + 4)).size();
        const QByteArray withL = HandSigned(Text, Tags("l", QByteArray::number(relaxedLength)));
        row("hand l= body changed inside", Changed(withL, "First", "Fürst"), "fail (body hash did not verify)");
        row("hand l=0", HandSigned(Text, Tags("l", "0")) + "anything\r\n", pass);
        row("hand l= longer than the body", HandSigned(Text, Tags("l", QByteArray::number(relaxedLength + 1), Tags("bh", "AAAA"))),
            "permerror (l= is longer than the body)");
        row("hand l= of 77 digits", HandSigned(Text, Tags("l", QByteArray(77, '9'), Tags("bh", "AAAA"))), "permerror (l= is not a number)");
        row("hand l= not a number", HandSigned(Text, Tags("l", "12a", Tags("bh", "AAAA"))), "permerror (l= is not a number)");
        row("hand simple l=, text appended", HandSigned("From: a@example.test\r\n\r\nx\r\n", Tags("l", "3", Tags("c", "simple/simple"))) + "more\r\n", pass);
        row("hand simple l= of the empty body, text appended", HandSigned("From: a@example.test\r\n\r\n", Tags("l", "2", Tags("c", "simple/simple"))) + "more\r\n",
            "fail (body hash did not verify)");   // its CR LF is not the start of the new body

        // t= and x=, with python3-dkim's leeway of ten hours.
        const QByteArray t = QByteArray::number(Now - 60);
        row("hand x= past the leeway", HandSigned(Text, Tags("t", QByteArray::number(Now - 86400), Tags("x", QByteArray::number(Now - DkimVerify::ClockLeeway - 1)))),
            "permerror (signature expired)");
        row("hand x= at the leeway", HandSigned(Text, Tags("t", QByteArray::number(Now - 86400), Tags("x", QByteArray::number(Now - DkimVerify::ClockLeeway)))), pass);
        row("hand x= equal to t=", HandSigned(Text, Tags("x", t)), "permerror (x= is not after t=)");
        row("hand t= in the future past the leeway", HandSigned(Text, Tags("t", QByteArray::number(Now + DkimVerify::ClockLeeway + 1))),
            "permerror (signature timestamp in the future)");
        row("hand t= not a number", HandSigned(Text, Tags("t", "soon")), "permerror (t= is not a number)");
        row("own signature ten days later", both, "pass | pass", none, Now + 864000);

        // i=
        row("hand i= a domain ending in d=", HandSigned(Text, Tags("i", "@badexample.test")), "permerror (i= is not within d=)");
        row("hand i= without @", HandSigned(Text, Tags("i", "example.test")), "permerror (i= has no @)");

        // The signature's tags.
        row("hand v=2", HandSigned(Text, Tags("v", "2")), "permerror (v= is not 1)");
        row("hand missing d=", HandSigned(Text, Tags("d", "-")), "permerror (missing d=)");
        row("hand missing bh=", Changed(HandSigned(Text, Usual), "bh=", "xh="), "permerror (missing bh=)");
        row("hand missing b=", Changed(HandSigned(Text, Usual), "\tb=", "\tc2="), "permerror (missing b=)");
        QByteArray emptyB = HandSigned(Text, Usual);
        const qsizetype bAt = emptyB.indexOf("\tb=") + 3;
        row("hand b= empty", emptyB.remove(bAt, emptyB.indexOf("\r\n", bAt) - bAt), "permerror (b= is not base64)");
        row("hand bh= not base64", HandSigned(Text, Tags("bh", "not.base64")), "permerror (bh= is not base64)");
        row("hand a=rsa-sha1", HandSigned(Text, Tags("a", "rsa-sha1")), "permerror (rsa-sha1 is historic, RFC 8301)");
        row("hand a=rsa-sha512", HandSigned(Text, Tags("a", "rsa-sha512")), "permerror (a= is not a known algorithm)");
        row("hand c=bogus", HandSigned(Text, Tags("c", "relaxed/bogus")), "permerror (c= is not a known canonicalization)");
        row("hand h= without from", HandSigned(Text, Tags("h", "to:subject")), "permerror (h= does not sign From)");
        row("hand h= with an empty name", HandSigned(Text, Tags("h", "from::to")), "permerror (h= does not parse)");
        row("hand q=dns/txt among others", HandSigned(Text, Tags("q", "x-other:dns/txt")), pass);
        row("hand q=other", HandSigned(Text, Tags("q", "https")), "permerror (q= names no known query method)");
        row("hand d= not a domain", HandSigned(Text, Tags("d", "exa(mple).test")), "permerror (d= is not a domain name)");
        row("hand s= not a selector", HandSigned(Text, Tags("s", "a..b")), "permerror (s= is not a selector)");
        row("hand duplicate tag", HandSigned(Text, Usual + "; d=example.test"), "permerror (signature tags do not parse: duplicate d=)");

        // The key record.
        const QByteArray p = "p=" + Rsa().der.toBase64();
        row("key: missing (NXDOMAIN)", HandSigned(Text, Tags("s", "gone")), "permerror (no key at gone._domainkey.example.test)");
        row("key: name without TXT", HandSigned(Text, Usual), "permerror (no key at sel._domainkey.example.test)", {"sel._domainkey.example.test|!nodata"});
        row("key: DNS failure", HandSigned(Text, Usual), "temperror (DNS lookup of the key failed)", {"sel._domainkey.example.test|!temp"});
        row("key: revoked", HandSigned(Text, Usual), "permerror (key revoked)", {"sel._domainkey.example.test|v=DKIM1; k=rsa; p="});
        row("key: no p=", HandSigned(Text, Usual), "permerror (key record has no p=)", {"sel._domainkey.example.test|v=DKIM1; k=rsa"});
        row("key: v=DKIM2", HandSigned(Text, Usual), "permerror (key record is not v=DKIM1)", {"sel._domainkey.example.test|v=DKIM2; " + p});
        row("key: v= not first", HandSigned(Text, Usual), "permerror (key record has v= after other tags)",
            {"sel._domainkey.example.test|k=rsa; v=DKIM1; " + p});
        row("key: does not parse", HandSigned(Text, Usual), "permerror (key record does not parse: tag without =)",
            {"sel._domainkey.example.test|v=DKIM1; " + p + "; junk"});
        row("key: p= not a key", HandSigned(Text, Usual), "permerror (key p= is not an RSA key)", {"sel._domainkey.example.test|v=DKIM1; p=AAAAAAAA"});
        row("key: h=sha1", HandSigned(Text, Usual), "permerror (key h= does not allow sha256)", {"sel._domainkey.example.test|v=DKIM1; h=sha1; " + p});
        row("key: k=ed25519 for rsa-sha256", HandSigned(Text, Usual), "permerror (key type ed25519 does not match a=rsa-sha256)",
            {"sel._domainkey.example.test|v=DKIM1; k=ed25519; " + p});
        row("key: k=dsa", HandSigned(Text, Usual), "permerror (key k= is not a known key type)", {"sel._domainkey.example.test|v=DKIM1; k=dsa; " + p});
        row("key: s=tlsrpt", HandSigned(Text, Usual), "permerror (key s= is not for email)", {"sel._domainkey.example.test|v=DKIM1; s=tlsrpt; " + p});
        row("key: t=s, i= a subdomain", HandSigned(Text, Tags("i", "demo@mail.example.test")), "permerror (key t=s does not allow i= in a subdomain)",
            {"sel._domainkey.example.test|v=DKIM1; t=s; " + p});
        row("key: two records, the first no key", HandSigned(Text, Usual), pass, {"sel._domainkey.example.test|v=spf1 -all", "sel._domainkey.example.test|" + Rsa().record});
        row("key: two keys, the second signs", HandSigned(Text, Usual), pass,
            {"sel._domainkey.example.test|" + Rsa1024().record, "sel._domainkey.example.test|" + Rsa().record});

        // Several signatures; more than ten; an unreadable header; none.
        QByteArray many = Text;
        for (int i = 0; i < 12; ++i)
            many = HandSigned(many, Tags("s", i % 2 ? "sel" : "k1024"), i % 2 ? Rsa().pem : Rsa1024().pem);
        QList<QByteArray> manyExpect(10, "pass");
        manyExpect << "neutral (not checked: more than 10 signatures)" << "neutral (not checked: more than 10 signatures)";
        row("twelve signatures", many, manyExpect.join(" | "));
        row("header that cannot be read", Changed(own, "\r\n\r\n", "\r\nnot a field\r\n\r\n"), "permerror (a header line is not a field)");
        row("no signature", Text, "");
    }
    void verify()
    {
        QFETCH(QByteArray, text); QFETCH(Lines, dns); QFETCH(qint64, now); QFETCH(QByteArray, expect);
        Dns::Table table;
        Fill(table, dns);
        const auto found = DkimVerify::Verify(table, text, now);
        QCOMPARE(Report(found), expect);
        for (const auto& s : found)
            QVERIFY2(!s.reason.contains('(') && !s.reason.contains(')'), s.reason.constData());   // it goes into a header comment
        // One query at most for each signature checked and each key name.
        QVERIFY2(table.queries <= qMin<qsizetype>(found.size(), DkimVerify::MaxSignatures), QByteArray::number(table.queries).constData());
    }

    // What a signature says of itself, as the report shows it, whatever its result.
    void fields_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QByteArray>("fields");   // "result d s a i b"
        const QByteArray own = OwnSigned(Text, true);
        const qsizetype at = own.indexOf("b=", own.indexOf("bh=") + 3) + 2;
        const QByteArray b = QByteArray(own.mid(at, 20)).replace("\r\n\t", "").left(8);
        QTest::newRow("own rsa-sha256") << own << "pass example.test sel rsa-sha256 @example.test " + b;
        QTest::newRow("broken still shows what it can") << HandSigned(Text, Usual + "; d=x") << QByteArray("permerror example.test sel rsa-sha256 @example.test *");
        QTest::newRow("folded values shown without blanks") << HandSigned(Text, Tags("i", "demo@\r\n mail.example.test"))
                                                          << QByteArray("pass example.test sel rsa-sha256 demo@mail.example.test *");
        QTest::newRow("no d=") << HandSigned(Text, Tags("d", "-")) << QByteArray("permerror  sel rsa-sha256 @ *");
    }
    void fields()
    {
        QFETCH(QByteArray, text); QFETCH(QByteArray, fields);
        Dns::Table table;
        Fill(table, {});
        const auto found = DkimVerify::Verify(table, text, Now);
        QVERIFY(!found.empty());
        const DkimVerify::Signature& s = found.front();
        QByteArray got = QByteArray(DkimVerify::Name(s.result)) + ' ' + s.domain + ' ' + s.selector + ' ' + s.algorithm + ' ' + s.identity + ' ';
        QCOMPARE(s.b.size(), 8);
        got += fields.endsWith('*') ? "*" : s.b;
        QCOMPARE(got, fields);
        QCOMPARE(s.reason.isEmpty(), s.result == Result::Pass);
    }

    // Each key name is asked once however many signatures name it; no key is asked for a
    // signature that cannot be used anyway.
    void queries()
    {
        QByteArray text = Text;
        for (int i = 0; i < 4; ++i)
            text = HandSigned(text, Usual);
        text = HandSigned(text, Tags("v", "2"));
        Dns::Table table;
        Fill(table, {});
        const auto found = DkimVerify::Verify(table, text, Now);
        QCOMPARE(Report(found), QByteArray("permerror (v= is not 1) | pass | pass | pass | pass"));
        QCOMPARE(table.queries, 1);
    }

    // The simple body (RFC 6376 3.4.3) and the hash of a part of a canonical body (l=).
    void simpleBody_data()
    {
        QTest::addColumn<QByteArray>("in");
        QTest::addColumn<QByteArray>("out");
        QTest::newRow("RFC 6376 3.4.5") << QByteArray(" C \r\nD \t E\r\n\r\n\r\n") << QByteArray(" C \r\nD \t E\r\n");
        QTest::newRow("empty") << QByteArray() << QByteArray("\r\n");
        QTest::newRow("no final line end") << QByteArray("a\r\nb") << QByteArray("a\r\nb\r\n");
        QTest::newRow("stuffed dots") << QByteArray("..a\r\n..\r\n\r\n") << QByteArray(".a\r\n.\r\n");
        QTest::newRow("bare LF") << QByteArray("a\nb\n\n") << QByteArray("a\r\nb\r\n");
        QTest::newRow("lone CR kept") << QByteArray("a\rb\r\n") << QByteArray("a\rb\r\n");
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
