// The header the checks leave on mail from outside, and what their verdict does: which
// Authentication-Results fields are taken for forgeries in our name, and how SPF, DKIM and
// DMARC outcomes become the header, the log lines, a refusal or a spam mark.
#include "check/Checks.h"
#include "core/mdlCommon.h"

#include <QtTest>

namespace {
const QByteArray Id = "mx.example.test";

// Rows of "name TYPE data".
void Fill(Dns::Table& dns, const QList<QByteArray>& rows)
{
    static const QHash<QByteArray, Dns::Type> types{{"A", Dns::Type::A}, {"TXT", Dns::Type::Txt}, {"MX", Dns::Type::Mx}};
    for (const QByteArray& row : rows) {
        const QList<QByteArray> parts = row.split(' ');
        dns.Add(parts[0], types.value(parts[1]), row.mid(parts[0].size() + parts[1].size() + 2));
    }
}
}

class TestAuthResults : public QObject {
    Q_OBJECT
private slots:
    void withoutOurResults_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QByteArray>("kept");
        QTest::addColumn<int>("removed");
        const QByteArray rest = "Subject: s\r\n\r\nbody\r\n";
        QTest::newRow("ours") << "Authentication-Results: mx.example.test; spf=pass\r\n" + rest << rest << 1;
        QTest::newRow("ours, folded, comment, case, final dot")
            << QByteArray("Subject: s\r\nAuthentication-Results: (forged) MX.Example.TEST.\r\n\t; dkim=pass\r\n\r\nbody\r\n") << rest << 1;
        QTest::newRow("ours, twice, around others")
            << "Authentication-Results: mx.example.test; a\r\nX: 1\r\nAuthentication-Results: mx.example.test;\r\n b\r\n" + rest
            << "X: 1\r\n" + rest << 2;
        QTest::newRow("another server's") << "Authentication-Results: other.test; spf=pass\r\n" + rest
                                          << "Authentication-Results: other.test; spf=pass\r\n" + rest << 0;
        QTest::newRow("a longer name") << "Authentication-Results: mx.example.test.evil; x\r\n" + rest
                                       << "Authentication-Results: mx.example.test.evil; x\r\n" + rest << 0;
        QTest::newRow("another field") << "Authentication-Results-Original: mx.example.test; x\r\n" + rest
                                       << "Authentication-Results-Original: mx.example.test; x\r\n" + rest << 0;
        QTest::newRow("in the body") << rest + "Authentication-Results: mx.example.test; x\r\n"
                                     << rest + "Authentication-Results: mx.example.test; x\r\n" << 0;
        QTest::newRow("a line no field ends the header")
            << QByteArray("X: 1\r\nnot a field\r\nAuthentication-Results: mx.example.test; x\r\n")
            << QByteArray("X: 1\r\nnot a field\r\nAuthentication-Results: mx.example.test; x\r\n") << 0;
    }
    void withoutOurResults()
    {
        QFETCH(QByteArray, text);
        QFETCH(QByteArray, kept);
        QFETCH(int, removed);
        int count = -1;
        QCOMPARE(Checks::WithoutOurResults(text, Id, &count), kept);
        QCOMPARE(count, removed);
    }

    void verdict_data()
    {
        QTest::addColumn<QList<QByteArray>>("records");
        QTest::addColumn<QByteArray>("sender");
        QTest::addColumn<QByteArray>("from");
        QTest::addColumn<bool>("dmarcReject");
        QTest::addColumn<QList<QByteArray>>("header");   // pieces it holds
        QTest::addColumn<QByteArray>("refusal");
        QTest::addColumn<QList<QByteArray>>("log");
        const QList<QByteArray> records{"good.test TXT v=spf1 ip4:192.0.2.0/24 -all", "bad.test TXT v=spf1 -all",
                                        "_dmarc.bad.test TXT v=DMARC1; p=reject"};
        QTest::newRow("spf pass, no signature, no policy")
            << records << QByteArray("a@good.test") << QByteArray("good.test") << true
            << QList<QByteArray>{"\tspf=pass ", " smtp.mailfrom=good.test;\r\n\tdkim=none;\r\n\tdmarc=none", " header.from=good.test\r\n"}
            << QByteArray() << QList<QByteArray>{"-SPF pass mailfrom=good.test", "-DMARC none from=good.test"};
        QTest::newRow("dmarc reject refuses")
            << records << QByteArray("a@bad.test") << QByteArray("bad.test") << true << QList<QByteArray>{}
            << QByteArray("550 5.7.1 Rejected by the DMARC policy of bad.test")
            << QList<QByteArray>{"-SPF fail mailfrom=bad.test", "-DMARC fail from=bad.test (p=reject): refused"};
        QTest::newRow("dmarc reject, refusing off: kept as spam")
            << records << QByteArray("a@bad.test") << QByteArray("bad.test") << false
            << QList<QByteArray>{"\tdmarc=fail (p=reject) header.from=bad.test\r\nX-Spam-Flag: YES\r\n"} << QByteArray()
            << QList<QByteArray>{"-SPF fail mailfrom=bad.test", "-DMARC fail from=bad.test (p=reject): kept as spam"};
    }
    void verdict()
    {
        QFETCH(QList<QByteArray>, records);
        QFETCH(QByteArray, sender);
        QFETCH(QByteArray, from);
        QFETCH(bool, dmarcReject);
        QFETCH(QList<QByteArray>, header);
        QFETCH(QByteArray, refusal);
        QFETCH(QList<QByteArray>, log);
        Dns::Table dns;
        Fill(dns, records);
        const bool before = mdlCommon::DmarcReject;
        mdlCommon::DmarcReject = dmarcReject;
        const Checks::Input in{QHostAddress("192.0.2.7"), sender, "client.test", {}};
        const QByteArray text = "From: <x@" + from + ">\r\nSubject: s\r\n\r\nbody\r\n";
        const Checks::Verdict v = Checks::Run(dns, in, text, Id, 1700000000);
        mdlCommon::DmarcReject = before;
        QCOMPARE(v.refusal, refusal);
        QVERIFY2(v.header.startsWith("Authentication-Results: mx.example.test;\r\n\t"), v.header.constData());
        for (const QByteArray& piece : header)
            QVERIFY2(v.header.contains(piece), (piece + " not in " + v.header).constData());
        QCOMPARE(v.quarantined, v.header.contains("X-Spam-Flag: YES\r\n"));
        for (const QByteArray& line : log)
            QVERIFY2(std::any_of(v.log.begin(), v.log.end(), [&](const QByteArray& l) { return l.startsWith(line); }),
                     (line + " not in " + v.log.join(" | ")).constData());
    }
};

QTEST_GUILESS_MAIN(TestAuthResults)
#include "test_authresults.moc"
