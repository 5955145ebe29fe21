// The message-format layer: domains and addresses as compared, the header of a stored text,
// address lists as readers read them, our Authentication-Results, and the trace lines.
#include "mail/AddressList.h"
#include "mail/AuthResults.h"
#include "mail/Domain.h"
#include "mail/Header.h"
#include "mail/Trace.h"

#include <QtTest>

using Lines = QList<QByteArray>;

class TestMail : public QObject {
    Q_OBJECT
private slots:
    // One reading of a domain: ETRN, RCPT, the signer and the checks all compare this way.
    void domain_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QByteArray>("normal");
        QTest::addColumn<bool>("served");   // as example.test
        QTest::newRow("as served") << QByteArray("example.test") << QByteArray("example.test") << true;
        QTest::newRow("letter case, final dot") << QByteArray("Example.TEST.") << QByteArray("example.test") << true;
        QTest::newRow("a longer name") << QByteArray("example.test.x") << QByteArray("example.test.x") << false;
        QTest::newRow("a subdomain") << QByteArray("mx.example.test") << QByteArray("mx.example.test") << false;
        QTest::newRow("empty is no domain") << QByteArray() << QByteArray() << false;
    }
    void domain()
    {
        QFETCH(QByteArray, name); QFETCH(QByteArray, normal); QFETCH(bool, served);
        const Mail::Domain d(name);
        QCOMPARE(d.Name(), normal);
        QCOMPARE(d.IsServed(QStringLiteral("Example.Test.")), served);
    }

    // An address splits at its last "@" outside quotes.
    void address_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QByteArray>("split");   // local "|" domain; no "|" without "@"
        QTest::newRow("plain") << QByteArray("taro@Example.Test.") << QByteArray("taro|example.test");
        QTest::newRow("@ in a quoted local part") << QByteArray("\"a@b\"@example.test") << QByteArray("\"a@b\"|example.test");
        QTest::newRow("quoted pair") << QByteArray("\"a\\\"@b\"@example.test") << QByteArray("\"a\\\"@b\"|example.test");
        QTest::newRow("two @: the last") << QByteArray("a@b@example.test") << QByteArray("a@b|example.test");
        QTest::newRow("angle brackets and a route") << QByteArray("<@relay.test,@b.test:taro@example.test>") << QByteArray("taro|example.test");
        QTest::newRow("no domain") << QByteArray("postmaster") << QByteArray("postmaster");
    }
    void address()
    {
        QFETCH(QByteArray, text); QFETCH(QByteArray, split);
        const Mail::Address a = Mail::Address::Parse(text);
        QCOMPARE(a.hasDomain ? a.local + '|' + a.domain.Name() : a.local, split);
    }

    // The fields of a stored text, where the body starts, and the lines that are no field.
    void header_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<Lines>("fields");   // name "|" field as the message has it
        QTest::addColumn<int>("leading");    // -1: readable (all lead)
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("plain") << QByteArray("From: a@b\r\nSubject: s\r\n\r\nbody\r\n") << Lines{"From|From: a@b\r\n", "Subject|Subject: s\r\n"} << -1
                               << QByteArray("body\r\n");
        QTest::newRow("folded") << QByteArray("Subject: a\r\n\tb\r\n c\r\nTo: x\r\n\r\n") << Lines{"Subject|Subject: a\r\n\tb\r\n c\r\n", "To|To: x\r\n"} << -1
                                << QByteArray();
        QTest::newRow("blank before the colon") << QByteArray("Subject \t: s\r\n\r\nb\r\n") << Lines{"Subject|Subject \t: s\r\n"} << -1 << QByteArray("b\r\n");
        QTest::newRow("stuffed name") << QByteArray("..X: y\r\n\r\n..z\r\n") << Lines{".X|.X: y\r\n"} << -1 << QByteArray("..z\r\n");
        QTest::newRow("no body, no line end") << QByteArray("From: a@b") << Lines{"From|From: a@b"} << -1 << QByteArray();
        QTest::newRow("no header") << QByteArray("\r\nbody\r\n") << Lines{} << -1 << QByteArray("body\r\n");
        QTest::newRow("continuation first") << QByteArray(" x\r\nFrom: a\r\n\r\n") << Lines{"From|From: a\r\n"} << 0 << QByteArray();
        QTest::newRow("a line no field, fields after it")
            << QByteArray("A: 1\r\nhello there\r\n more\r\nFrom: a\r\n\r\n") << Lines{"A|A: 1\r\n", "From|From: a\r\n"} << 1 << QByteArray();
        QTest::newRow("names: empty, a blank in it")
            << QByteArray(": a\r\nSub ject: a\r\n\r\n") << Lines{} << 0 << QByteArray();
        QTest::newRow("a bare LF line is no empty line") << QByteArray("A: 1\n\nB: 2\r\n\r\nb") << Lines{"A|A: 1\n", "B|B: 2\r\n"} << 1 << QByteArray("b");
    }
    void header()
    {
        QFETCH(QByteArray, text); QFETCH(Lines, fields); QFETCH(int, leading); QFETCH(QByteArray, body);
        const Mail::Header h(text);
        Lines seen;
        QByteArray stored;
        for (const Mail::Field& f : h.Fields()) {
            seen << f.name + '|' + f.raw;
            stored += text.mid(f.at, f.size);
        }
        QCOMPARE(seen, fields);
        QCOMPARE(h.Readable(), leading < 0);
        QCOMPARE(int(h.Leading()), leading < 0 ? int(fields.size()) : leading);
        QCOMPARE(text.mid(h.BodyStart()), body);
        if (h.Readable())   // the fields' lines give the header back byte for byte
            QCOMPARE(stored, text.left(h.EmptyLine()));
    }

    // What the text says of itself: values unfolded, hops, the unstuffed text, line ends.
    void text()
    {
        const QByteArray text = "Received: a\r\nreceived : b\r\nFrom: x\r\n\ty\r\nX-Received: c\r\n..Received: d\r\n\r\nReceived: body\r\n..dot\r\n";
        const Mail::Header h(text);
        QCOMPARE(h.Hops(), 2);
        QCOMPARE(h.Values("FROM"), Lines{" x\ty"});
        QCOMPARE(Mail::Unstuffed(text.mid(h.BodyStart())), QByteArray("Received: body\r\n.dot\r\n"));
        QCOMPARE(Mail::Stuffed(".a\r\nb\r\n."), QByteArray("..a\r\nb\r\n.."));
        for (const char* bare : {"a\nb\r\n", "a\rb\r\n", "\n", "a\r"})
            QVERIFY2(Mail::BareLineEnd(bare), bare);
        QVERIFY(!Mail::BareLineEnd("a\r\n\r\nb\r\n"));
    }

    // Where the body starts when the text comes in pieces (TOP reads a file so).
    void bodyFinder_data()
    {
        QTest::addColumn<Lines>("pieces");
        QTest::addColumn<qint64>("body");
        QTest::newRow("split inside the empty line") << Lines{"A: 1\r\n\r", "\nb"} << qint64(8);
        QTest::newRow("empty header") << Lines{"\r\n", "b"} << qint64(2);
        QTest::newRow("a CR run") << Lines{"A\r\r\n\r\n"} << qint64(6);
        QTest::newRow("none") << Lines{"A: 1\r\n", "b\r\n"} << qint64(-1);
    }
    void bodyFinder()
    {
        QFETCH(Lines, pieces); QFETCH(qint64, body);
        Mail::BodyFinder f;
        qint64 found = -1;
        for (const QByteArray& p : pieces)
            found = f.Feed(p);
        QCOMPARE(found, body);
    }

    // Address lists: which addresses a reader sees, and when nobody could say.
    void addressList_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<QByteArray>("addresses");   // "," between; "!" first when unreadable
        const QList<std::pair<const char*, QByteArray>> rows = {
            {"bare", " demo@Example.Test\r\n"},
            {"display name", " Hana <hanako@example.test>"},
            {"quoted name with @ and <", " \"x@evil.test <y@evil.test>\" <demo@example.test>"},
            {"comment with @", " (x@evil.test) demo@example.test (at evil.test)"},
            {"two mailboxes", " a@one.test, B <b@two.test>"},
            {"group", " us: a@one.test, b@two.test;"},
            {"empty group", " undisclosed-recipients:;"},
            {"folded", " Hana\r\n <taro@example.test>"},
            {"route", " <@relay.test:hana@example.test>"},
            {"quoted local part", " \"a b\"@example.test"},
            {"two angle addresses", " <hana@example.test> <taro@example.test>"},
            {"address after the angle one", " <hana@example.test> taro@example.test"},
            {"quote left open", " \"x <hana@example.test>"},
            {"angle left open", " <hana@example.test"},
            {"comment left open", " hana@example.test (x"},
        };
        const QList<QByteArray> want = {"demo@Example.Test", "hanako@example.test", "demo@example.test", "demo@example.test",
                                        "a@one.test,b@two.test", "a@one.test,b@two.test", "", "taro@example.test", "hana@example.test",
                                        "\"ab\"@example.test", "!hana@example.testtaro@example.test", "!hana@example.test", "!\"x<hana@example.test>",
                                        "!hana@example.test", "!hana@example.test"};
        for (qsizetype i = 0; i < rows.size(); ++i)
            QTest::newRow(rows[i].first) << rows[i].second << want[i];
    }
    void addressList()
    {
        QFETCH(QByteArray, value); QFETCH(QByteArray, addresses);
        const Mail::AddressList list = Mail::AddressList::Parse(value);
        QCOMPARE((list.readable ? QByteArray() : QByteArray("!")) + list.addresses.join(','), addresses);
    }

    // Authentication-Results fields in our name are taken out, as stored; others' stay.
    void withoutOurResults_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("removed");   // the rest is the text without those
        const QByteArray rest = "Subject: s\r\n\r\nbody\r\n";
        QTest::newRow("ours, folded, comment, case, final dot")
            << "Authentication-Results: (forged) MX.Example.TEST.\r\n\t; dkim=pass\r\n" + rest << 1;
        QTest::newRow("ours with a version, stuffed") << ".authentication-results:mx.example.test 1; none\r\n" + rest << 1;
        QTest::newRow("ours quoted, a quoted pair, folded") << "Authentication-Results: \"MX.example\\.test.\r\n \"; dkim=pass\r\n" + rest << 1;
        QTest::newRow("ours after a comment with a quoted pair") << "Authentication-Results: (a \\) b) mx.example.test; x\r\n" + rest << 1;
        QTest::newRow("another server's") << "Authentication-Results: other.test; spf=pass\r\n" + rest << 0;
        QTest::newRow("another server's, quoted") << "Authentication-Results: \"other.test\" (mx.example.test); x\r\n" + rest << 0;
        QTest::newRow("a longer name") << "Authentication-Results: mx.example.test.evil; x\r\n" + rest << 0;
        QTest::newRow("another field") << "Authentication-Results-Original: mx.example.test; x\r\n" + rest << 0;
        QTest::newRow("in the body") << rest + "Authentication-Results: mx.example.test; x\r\n" << 0;
        QTest::newRow("after a line no field") << "X: 1\r\nnot a field\r\nAuthentication-Results: mx.example.test; x\r\n" + rest << 0;
    }
    void withoutOurResults()
    {
        QFETCH(QByteArray, text); QFETCH(int, removed);
        int count = -1;
        const QByteArray kept = Mail::WithoutOurResults(text, "mx.example.test", &count);
        QCOMPARE(count, removed);
        QCOMPARE(kept, removed ? QByteArray("Subject: s\r\n\r\nbody\r\n") : text);   // ours come first in each row
    }

    // The lines we put on top of a message.
    void trace()
    {
        const Mail::Hop hop{"client.test", "IPv6:::1", true, "mx.example.test"};
        QCOMPARE(Mail::Received(hop, "taro@example.test", "Mon, 7 Dec 2026 08:00:00 +0000"),
                 QByteArray("Received: from client.test ([IPv6:::1])\r\n\tby mx.example.test with ESMTP\r\n\tfor <taro@example.test>; "
                            "Mon, 7 Dec 2026 08:00:00 +0000\r\n"));
        QVERIFY(Mail::Received({}, "a@b", "now").startsWith("Received: from unknown\r\n\tby  with SMTP\r\n"));
        QCOMPARE(Mail::MissingFields(Mail::Header("Date: x\r\nmessage-id: <y>\r\n\r\n"), "h"), QByteArray());
        const QByteArray added = Mail::MissingFields(Mail::Header("Subject: s\r\n\r\n"), "mx.example.test");
        QVERIFY2(QRegularExpression("^Date: .+\r\nMessage-ID: <\\d{17}\\.\\w+@mx\\.example\\.test>\r\n$").match(QString::fromLatin1(added)).hasMatch(),
                 added.constData());
    }
};

QTEST_GUILESS_MAIN(TestMail)
#include "test_mail.moc"
