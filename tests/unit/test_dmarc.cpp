// DMARC: organisational domains by the public suffix list,
// the record, policy discovery and alignment, against records in a Dns::Table.
// tests/e2e/test_checks.py sends a few of these through the server, its checks fed by the session.
#include "TestSupport.h"
#include "check/Dmarc.h"

using Dmarc::Policy;
using Dmarc::Result;

class TestDmarc : public QObject {
    Q_OBJECT
private slots:
    // RFC 7489 3.2: the public suffix and one label more, by rules of each kind the list has.
    void organizational_data()
    {
        QTest::addColumn<QByteArray>("domain");
        QTest::addColumn<QByteArray>("org");
        QTest::newRow("under co.uk") << QByteArray("a.b.example.co.uk") << QByteArray("example.co.uk");
        QTest::newRow("a public suffix itself") << QByteArray("co.uk") << QByteArray("co.uk");
        QTest::newRow("letter case and final dot") << QByteArray("Mail.Example.CO.UK.") << QByteArray("example.co.uk");
        QTest::newRow("wildcard rule *.ck") << QByteArray("mail.shop.ck") << QByteArray("mail.shop.ck");
        QTest::newRow("exception rule !www.ck") << QByteArray("a.b.www.ck") << QByteArray("www.ck");
        QTest::newRow("private section: github.io") << QByteArray("www.someone.github.io") << QByteArray("someone.github.io");
        QTest::newRow("name in UTF-8") << QByteArray("www.shop.\xe5\x85\xac\xe5\x8f\xb8.cn") << QByteArray("shop.xn--55qx5d.cn");
        QTest::newRow("no rule: the last label is the suffix") << QByteArray("a.b.example.invalidtld") << QByteArray("example.invalidtld");
        QTest::newRow("one label") << QByteArray("localhost") << QByteArray("localhost");
        QTest::newRow("empty") << QByteArray() << QByteArray();
    }
    void organizational()
    {
        QFETCH(QByteArray, domain); QFETCH(QByteArray, org);
        QCOMPARE(Dmarc::OrganizationalDomain(domain), org);
    }

    // The list is read once, and may be asked from many threads at the same time.
    void threads()
    {
        QList<QThread*> threads;
        QAtomicInt wrong = 0;
        for (int i = 0; i < 8; ++i)
            threads << QThread::create([&wrong] {
                for (int k = 0; k < 200; ++k)
                    if (Dmarc::OrganizationalDomain("a.b.example.co.uk") != "example.co.uk")
                        wrong.ref();
            });
        for (QThread* t : threads)
            t->start();
        for (QThread* t : threads) {
            t->wait();
            delete t;
        }
        QCOMPARE(wrong.loadRelaxed(), 0);
    }

    void record_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QByteArray>("parsed");   // "invalid" or "p sp|- adkim aspf pct"
        QTest::newRow("minimal") << QByteArray("v=DMARC1; p=none") << QByteArray("none - r r 100");
        QTest::newRow("all") << QByteArray("v=DMARC1; p=reject; sp=quarantine; adkim=s; aspf=s; pct=20; rua=mailto:d@example.com")
                             << QByteArray("reject quarantine s s 20");
        QTest::newRow("blanks and case") << QByteArray(" v = DMARC1 ;P=Reject;  SP = None ; ADKIM=S ; ") << QByteArray("reject none s r 100");
        QTest::newRow("unknown and malformed tags ignored") << QByteArray("v=DMARC1; p=quarantine; fo=1; junk; x=y") << QByteArray("quarantine - r r 100");
        QTest::newRow("pct out of range") << QByteArray("v=DMARC1; p=reject; pct=150") << QByteArray("reject - r r 100");
        QTest::newRow("no p") << QByteArray("v=DMARC1; sp=reject") << QByteArray("invalid");
        QTest::newRow("no p, rua") << QByteArray("v=DMARC1; sp=reject; adkim=s; rua=mailto:d@example.com") << QByteArray("none - r r 100");
        QTest::newRow("invalid p, rua") << QByteArray("v=DMARC1; p=block; rua=mailto:d@example.com!10m") << QByteArray("none - r r 100");
        QTest::newRow("invalid p, rua not a URI") << QByteArray("v=DMARC1; p=block; rua=d@example.com") << QByteArray("invalid");
        QTest::newRow("invalid sp") << QByteArray("v=DMARC1; p=reject; sp=maybe") << QByteArray("invalid");
        QTest::newRow("v=dmarc1") << QByteArray("v=dmarc1; p=reject") << QByteArray("invalid");
    }
    void record()
    {
        QFETCH(QByteArray, text); QFETCH(QByteArray, parsed);
        const Dmarc::Record r = Dmarc::ParseRecord(text);
        const QByteArray got = !r.valid ? QByteArray("invalid")
                                        : QByteArray(Dmarc::Name(r.p)) + ' ' + (r.hasSp ? Dmarc::Name(r.sp) : "-") + ' ' + (r.strictDkim ? 's' : 'r') + ' '
                                              + (r.strictSpf ? 's' : 'r') + ' ' + QByteArray::number(r.pct);
        QCOMPARE(got, parsed);
    }

    // Whole checks: From, SPF, DKIM domains and records; what comes out.
    void check_data()
    {
        QTest::addColumn<QByteArray>("header");   // the message's header fields
        QTest::addColumn<Lines>("dns");           // as FillDns reads them
        QTest::addColumn<QByteArray>("spf");      // "result domain"
        QTest::addColumn<QByteArray>("dkim");     // domains of the signatures that passed, comma-separated
        QTest::addColumn<int>("sample");
        QTest::addColumn<QByteArray>("expect");   // "result policy requested from policy-domain"
        QTest::addColumn<QByteArray>("reason");   // the reason, or "" not to look
        const auto row = [](const char* name, const QByteArray& from, const Lines& dns, const QByteArray& spf, const QByteArray& dkim,
                            const QByteArray& expect, const QByteArray& reason = {}, int sample = 0) {
            QTest::newRow(name) << "From: " + from + "\r\nSubject: s\r\n" << dns << spf << dkim << sample << expect << reason;
        };
        const QByteArray none = "_dmarc.example.com TXT v=DMARC1; p=none", quarantine = "_dmarc.example.com TXT v=DMARC1; p=quarantine",
                         reject = "_dmarc.example.com TXT v=DMARC1; p=reject";
        const QByteArray a = "a@example.com";

        row("no record", a, {}, "pass example.com", "example.com", "none none none example.com -", "no DMARC record");
        row("p=none, DKIM aligned", a, {none}, "none ", "example.com", "pass none none example.com example.com", "DKIM d=example.com aligned");
        row("p=none, SPF aligned", a, {none}, "pass example.com", "", "pass none none example.com example.com", "SPF example.com aligned");
        row("p=none, nothing aligned", a, {none}, "fail example.com", "other.org", "fail none none example.com example.com", "no aligned DKIM or SPF");
        row("p=reject, DKIM of another domain, SPF neutral", a, {reject}, "neutral example.com", "other.org,example.net",
            "fail reject reject example.com example.com");
        row("p=reject, one DKIM of several aligned", a, {reject}, "none ", "other.org,EXAMPLE.com.", "pass none reject example.com example.com");

        // Relaxed and strict alignment.
        row("DKIM strict: parent", "x@mail.example.com", {"_dmarc.example.com TXT v=DMARC1; p=reject; adkim=s"}, "none ", "example.com",
            "fail reject reject mail.example.com example.com");
        row("DKIM strict: exact", "x@mail.example.com", {"_dmarc.example.com TXT v=DMARC1; p=reject; adkim=s"}, "none ", "Mail.Example.com",
            "pass none reject mail.example.com example.com");
        row("SPF relaxed: bounce subdomain", a, {reject}, "pass bounces.example.com", "", "pass none reject example.com example.com");
        row("SPF strict: bounce subdomain", a, {"_dmarc.example.com TXT v=DMARC1; p=reject; aspf=s"}, "pass bounces.example.com", "",
            "fail reject reject example.com example.com");
        row("SPF aligned but softfail", a, {reject}, "softfail example.com", "", "fail reject reject example.com example.com");
        row("SPF pass, in capitals", a, {reject}, "PASS Example.COM.", "", "pass none reject example.com example.com");
        row("SPF pass for another domain", a, {reject}, "pass example.net", "", "fail reject reject example.com example.com");

        // Subdomains: sp= when the record is the organisational domain's.
        row("subdomain takes sp=", "x@mail.example.com", {"_dmarc.example.com TXT v=DMARC1; p=reject; sp=quarantine"}, "none ", "",
            "fail quarantine quarantine mail.example.com example.com");
        row("organisational domain ignores sp=", a, {"_dmarc.example.com TXT v=DMARC1; p=reject; sp=none"}, "none ", "",
            "fail reject reject example.com example.com");
        row("subdomain with a record of its own", "x@mail.example.com",
            {"_dmarc.mail.example.com TXT v=DMARC1; p=none; sp=reject", "_dmarc.example.com TXT v=DMARC1; p=reject"}, "none ", "",
            "fail none none mail.example.com mail.example.com");
        row("subdomain record: its sp= does not apply to itself", "x@mail.example.com", {"_dmarc.mail.example.com TXT v=DMARC1; p=quarantine; sp=reject"},
            "none ", "", "fail quarantine quarantine mail.example.com mail.example.com");

        // Organisational domains under multi-label public suffixes.
        const QByteArray uk = "_dmarc.example.co.uk TXT v=DMARC1; p=reject";
        row("co.uk: record of the organisational domain", "x@a.b.example.co.uk", {uk}, "none ", "", "fail reject reject a.b.example.co.uk example.co.uk");
        row("co.uk: DKIM of the organisational domain", "x@a.b.example.co.uk", {uk}, "none ", "example.co.uk",
            "pass none reject a.b.example.co.uk example.co.uk");
        row("co.uk: DKIM of co.uk itself", "x@example.co.uk", {uk}, "none ", "co.uk", "fail reject reject example.co.uk example.co.uk");
        row("co.uk: no record at co.uk asked", "x@example.co.uk", {"_dmarc.co.uk TXT v=DMARC1; p=reject"}, "none ", "", "none none none example.co.uk -");
        row("*.ck: the organisational domain is one more label", "x@a.mail.shop.ck", {"_dmarc.mail.shop.ck TXT v=DMARC1; p=reject", "_dmarc.shop.ck TXT v=DMARC1; p=none"},
            "none ", "", "fail reject reject a.mail.shop.ck mail.shop.ck");
        row("*.ck: shop.ck is a suffix, not aligned", "x@mail.shop.ck", {"_dmarc.mail.shop.ck TXT v=DMARC1; p=reject"}, "none ", "shop.ck",
            "fail reject reject mail.shop.ck mail.shop.ck");
        row("!www.ck: www.ck is an organisational domain", "x@a.www.ck", {"_dmarc.www.ck TXT v=DMARC1; p=quarantine"}, "none ", "b.www.ck",
            "pass none quarantine a.www.ck www.ck");

        // Records: several, none, not DMARC, invalid p= with and without rua=.
        row("two records", a, {reject, none}, "none ", "", "none none none example.com example.com", "more than one DMARC record at _dmarc.example.com");
        row("two records at the From domain: no fallback", "x@mail.example.com",
            {"_dmarc.mail.example.com TXT v=DMARC1; p=none", "_dmarc.mail.example.com TXT v=DMARC1; p=reject", reject}, "none ", "",
            "none none none mail.example.com mail.example.com");
        row("other TXT records beside one", a, {"_dmarc.example.com TXT v=spf1 -all", reject, "_dmarc.example.com TXT hello"}, "none ", "",
            "fail reject reject example.com example.com");
        row("only other TXT records: fallback", "x@mail.example.com", {"_dmarc.mail.example.com TXT v=spf1 -all", reject}, "none ", "",
            "fail reject reject mail.example.com example.com");
        row("v= not first: discarded", a, {"_dmarc.example.com TXT p=reject; v=DMARC1"}, "none ", "", "none none none example.com -");
        row("invalid p=, valid rua=: p=none", a, {"_dmarc.example.com TXT v=DMARC1; p=bounce; rua=mailto:r@example.com"}, "none ", "",
            "fail none none example.com example.com");
        row("invalid p=, no rua=", a, {"_dmarc.example.com TXT v=DMARC1; p=bounce"}, "none ", "", "none none none example.com example.com",
            "DMARC record without a valid p=");
        row("no p=, valid rua=", a, {"_dmarc.example.com TXT v=DMARC1; rua=mailto:r@example.com"}, "none ", "", "fail none none example.com example.com");

        // pct=: outside the sample the next milder policy.
        const QByteArray half = "_dmarc.example.com TXT v=DMARC1; p=reject; pct=50";
        row("pct=50, in the sample", a, {half}, "none ", "", "fail reject reject example.com example.com", {}, 49);
        row("pct=50, outside", a, {half}, "none ", "", "fail quarantine reject example.com example.com", "no aligned DKIM or SPF, outside pct=50", 50);
        row("pct=0, quarantine: none", a, {"_dmarc.example.com TXT v=DMARC1; p=quarantine; pct=0"}, "none ", "", "fail none quarantine example.com example.com",
            {}, 0);

        // DNS failures.
        row("DNS failure at the From domain", a, {"_dmarc.example.com TXT !TEMP"}, "pass example.com", "example.com", "temperror none none example.com example.com");
        row("DNS failure at the subdomain, record at the organisation", "x@mail.example.com", {"_dmarc.mail.example.com TXT !TEMP", reject}, "none ", "",
            "temperror none none mail.example.com mail.example.com");

        // The From field.
        row("letter case and final dot", "A@EXAMPLE.Com.", {reject}, "none ", "example.com", "pass none reject example.com example.com");
        row("two mailboxes of one domain", "a@example.com, B@Example.COM", {reject}, "none ", "example.com", "pass none reject example.com example.com");
        row("mailboxes of two domains", "a@other.org, b@example.com", {reject}, "none ", "other.org", "permerror none none - -",
            "From names more than one domain");
        row("a mailbox without a domain beside one", "someone, b@example.com", {reject}, "none ", "", "permerror none none - -",
            "From names more than one domain");
        row("empty group", "undisclosed-recipients:;", {reject}, "none ", "", "permerror none none - -", "From names no mailbox");
        row("no domain", "someone", {reject}, "none ", "", "permerror none none - -", "From has no domain");
        row("address literal", "a@[192.0.2.1]", {reject}, "none ", "", "permerror none none - -", "From domain is not a domain name");
        QTest::newRow("two From fields, two domains") << QByteArray("From: a@example.com\r\nFrom: b@other.org\r\n") << Lines{reject} << QByteArray("none ")
                                                      << QByteArray("example.com") << 0 << QByteArray("permerror none none - -")
                                                      << QByteArray("From names more than one domain");
        QTest::newRow("no From") << QByteArray("Sender: a@example.com\r\n") << Lines{reject} << QByteArray("none ") << QByteArray("example.com") << 0
                                 << QByteArray("permerror none none - -") << QByteArray("no From");
        QTest::newRow("From after a line no field still counts") << QByteArray("X: 1\r\nnot a field\r\nFrom: a@example.com\r\n") << Lines{reject}
                                                                 << QByteArray("none ") << QByteArray() << 0
                                                                 << QByteArray("fail reject reject example.com example.com") << QByteArray();
    }
    void check()
    {
        QFETCH(QByteArray, header); QFETCH(Lines, dns); QFETCH(QByteArray, spf); QFETCH(QByteArray, dkim); QFETCH(int, sample);
        QFETCH(QByteArray, expect); QFETCH(QByteArray, reason);
        Dns::Table table;
        FillDns(table, dns);
        const qsizetype space = spf.indexOf(' ');
        const QList<QByteArray> domains = dkim.isEmpty() ? QList<QByteArray>{} : dkim.split(',');
        const Dmarc::Outcome o = Dmarc::Check(table, header + "\r\nbody\r\n", spf.left(space), spf.mid(space + 1), domains, sample);
        const auto shown = [](const QByteArray& v) { return v.isEmpty() ? QByteArray("-") : v; };
        const QByteArray got = QByteArray(Dmarc::Name(o.result)) + ' ' + Dmarc::Name(o.policy) + ' ' + Dmarc::Name(o.requested) + ' '
                               + shown(o.fromDomain) + ' ' + shown(o.policyDomain);
        QCOMPARE(got, expect);
        if (!reason.isEmpty())
            QCOMPARE(o.reason, reason);
        QVERIFY(!o.reason.isEmpty() && !o.reason.contains('(') && !o.reason.contains(')'));
        QVERIFY(table.queries <= 2);
        QVERIFY(o.result == Result::Fail || o.policy == Policy::None);
        QCOMPARE(o.severalAuthors, o.reason == "From names more than one domain");
    }

    // pct= drawn at random when no sample is given: about that share of messages.
    void randomSample()
    {
        Dns::Table table;
        table.Add("_dmarc.example.com", Dns::Type::Txt, "v=DMARC1; p=reject; pct=30");
        int rejected = 0;
        for (int i = 0; i < 2000; ++i)
            rejected += Dmarc::Check(table, "From: a@example.com\r\n\r\n", "none", "", {}).policy == Policy::Reject;
        QVERIFY2(rejected > 450 && rejected < 750, QByteArray::number(rejected).constData());
    }
};

QTEST_GUILESS_MAIN(TestDmarc)
#include "test_dmarc.moc"
