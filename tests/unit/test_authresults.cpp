// The header the checks leave on mail from outside, and what their verdict does: how SPF,
// DKIM and DMARC outcomes become the header, the log lines, a refusal or a spam mark.
#include "TestSupport.h"
#include "check/Checks.h"

class TestAuthResults : public QObject {
    Q_OBJECT
private slots:
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
        QTest::newRow("authors of two domains, refusing off: kept as spam")
            << records << QByteArray("a@good.test") << QByteArray("good.test>, <y@bad.test") << false
            << QList<QByteArray>{"	dmarc=permerror reason=\"From names more than one domain\"\r\nX-Spam-Flag: YES\r\n"} << QByteArray()
            << QList<QByteArray>{"-DMARC permerror from= (From names more than one domain): kept as spam"};
    }
    void verdict()
    {
        QFETCH(QList<QByteArray>, records); QFETCH(QByteArray, sender); QFETCH(QByteArray, from); QFETCH(bool, dmarcReject);
        QFETCH(QList<QByteArray>, header); QFETCH(QByteArray, refusal); QFETCH(QList<QByteArray>, log);
        Dns::Table dns;
        FillDns(dns, records);
        Settings settings;
        settings.DmarcReject = dmarcReject;
        const Checks::Input in{QHostAddress("192.0.2.7"), sender, "client.test", {}};
        const QByteArray text = "From: <x@" + from + ">\r\nSubject: s\r\n\r\nbody\r\n";
        const Checks::Verdict v = Checks::Run(settings, dns, in, text, "mx.example.test", 1700000000);
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
