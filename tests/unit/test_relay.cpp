// The relay client's dialogue and the mail-exchanger lookup behind it.
#include "TestSupport.h"
#include "relay/DNS.h"
#include "relay/RelayReply.h"

#include <QElapsedTimer>
#include <QtTest>

using Lines = QList<QByteArray>;

namespace {

QString ScriptsDir()
{
    const QString d = qEnvironmentVariable("RELAY_TEST_SCRIPTS");
    return d.isEmpty() ? QFINDTESTDATA("scripts") : d;
}

// A relay session on index 3 that carries a 19-character message.
struct Relay {
    static constexpr qint16 I = 3;
    FakeServer s;
    explicit Relay(int step = 7)
    {
        Connecter& c = s.Open(I, step);
        c.From = "a@here.test";
        c.Message = "Subject: x\r\n\r\nhello";
        c.Address << "b@far.test";
    }
    // The lines sent in answer to one reply.
    Lines operator()(const QByteArray& reply)
    {
        const size_t before = s.sent.size();
        RelayReply(s, I, reply);
        Lines out;
        for (size_t k = before; k < s.sent.size(); ++k) {
            if (s.sent[k].first != I) continue;
            out << s.sent[k].second;
        }
        return out;
    }
    int step() { return s.Session(I) ? s.Session(I)->Step() : -1; }
};

// The replies of a server that takes the message, up to the "354".
const Lines Willing{"220 mx.far.test ESMTP\r\n", "250 mx.far.test\r\n", "250 2.1.0 Ok\r\n", "250 2.1.5 Ok\r\n", "354 go ahead\r\n"};

// A program folder with the fixture lookup script as GetMX.sh.
struct Lookup {
    ProgramFolder pf;
    DNS dns;
    explicit Lookup(const QByteArray& domainMx = "Domain,MX,Priority\n") : pf("UserName,Password,MailID\n", domainMx)
    {
        QFile::copy(ScriptsDir() + QStringLiteral("/getmx-fixture.sh"), pf.Path(QStringLiteral("GetMX.sh")));
        dns.OpenTimeoutMs = 3000;
    }
    QStringList rows() const
    {
        QStringList r = QString::fromUtf8(pf.Read(QStringLiteral("DomainMX.txt"))).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        for (QString& l : r)
            if (l.endsWith(QLatin1Char('\r'))) l.chop(1);
        if (!r.isEmpty()) r.removeFirst();   // header
        return r;
    }
    QStringList runs() const { return QString::fromUtf8(pf.Read(QStringLiteral("runs.log"))).split(QLatin1Char('\n'), Qt::SkipEmptyParts); }
};

}

class TestRelay : public QObject {
    Q_OBJECT

private slots:
    void dialogue_data()
    {
        QTest::addColumn<Lines>("ehloReply");
        QTest::newRow("several lines in one piece") << Lines{"250-mx.far.test\r\n250-PIPELINING\r\n250 SIZE 10240000\r\n"};
        QTest::newRow("several lines in two pieces") << Lines{"250-mx.far.test\r\n250-PIPELINING\r\n", "250 SIZE 10240000\r\n"};
        QTest::newRow("one line") << Lines{"250 mx.far.test\r\n"};
    }
    void dialogue()
    {
        QFETCH(Lines, ehloReply);
        Relay r;
        QCOMPARE(r("220 mx.far.test ESMTP\r\n"), Lines{"EHLO mx.test.host"});
        QCOMPARE(r.step(), 8);
        for (qsizetype k = 0; k + 1 < ehloReply.size(); ++k) {
            QCOMPARE(r(ehloReply[k]), Lines{});   // wait for the last line
            QCOMPARE(r.step(), 8);
        }
        QCOMPARE(r(ehloReply.last()), Lines{"MAIL FROM:<a@here.test> SIZE=19"});
        QCOMPARE(r.step(), 9);
        QCOMPARE(r("250 2.1.0 Ok\r\n"), Lines{"RCPT TO:<b@far.test>"});
        QCOMPARE(r.step(), 10);
        QCOMPARE(r("250 2.1.5 Ok\r\n"), Lines{"DATA"});
        QCOMPARE(r.step(), 11);
        const Lines text = r("354 End data with <CR><LF>.<CR><LF>\r\n");
        QCOMPARE(r.step(), 12);
        // On the wire each send ends with CR LF: the message comes out as received.
        QCOMPARE(text.join("\r\n") + "\r\n", QByteArray("Subject: x\r\n\r\nhello\r\n.\r\n"));
        QCOMPARE(r("250 2.0.0 Ok: queued\r\n"), Lines{"QUIT "});
        QCOMPARE(r.step(), 13);
        QVERIFY(r.s.released.empty());
        QCOMPARE(r("221 2.0.0 Bye\r\n"), Lines{});
        QCOMPARE(r.s.released, std::vector<qint16>{Relay::I});
        QVERIFY(!r.s.Session(Relay::I));
    }

    // Any reply but the expected one in states 7 to 11 ends the dialogue with QUIT.
    void refusal_data()
    {
        QTest::addColumn<int>("accepted");   // replies of Willing taken before the refusal
        QTest::addColumn<QByteArray>("reply");
        QTest::newRow("greeting 554") << 0 << QByteArray("554 no service\r\n");
        QTest::newRow("greeting 421") << 0 << QByteArray("421 busy\r\n");
        QTest::newRow("EHLO 500") << 1 << QByteArray("500 unknown command\r\n");
        QTest::newRow("EHLO 502") << 1 << QByteArray("502 not implemented\r\n");
        QTest::newRow("MAIL 550") << 2 << QByteArray("550 no\r\n");
        QTest::newRow("MAIL 251") << 2 << QByteArray("251 fine\r\n");
        QTest::newRow("MAIL several lines") << 2 << QByteArray("250-Ok\r\n250 Ok\r\n");
        QTest::newRow("MAIL 250 without blank") << 2 << QByteArray("250Ok\r\n");
        QTest::newRow("RCPT 251") << 3 << QByteArray("251 User not local; will forward\r\n");
        QTest::newRow("RCPT 550") << 3 << QByteArray("550 no such user\r\n");
        QTest::newRow("DATA 250") << 4 << QByteArray("250 Ok\r\n");
        QTest::newRow("DATA 554") << 4 << QByteArray("554 no valid recipients\r\n");
    }
    void refusal()
    {
        QFETCH(int, accepted);
        QFETCH(QByteArray, reply);
        Relay r;
        for (int k = 0; k < accepted; ++k)
            r(Willing[k]);
        QCOMPARE(r.step(), 7 + accepted);
        QCOMPARE(r(reply), Lines{"QUIT "});
        QCOMPARE(r.step(), 13);
        QVERIFY(r.s.released.empty());
        QCOMPARE(r("221 bye\r\n"), Lines{});
        QCOMPARE(r.s.released, std::vector<qint16>{Relay::I});
    }

    // After the message any answer leads to QUIT; in 13 only 221 ends it.
    void quitUntilClosed_data()
    {
        QTest::addColumn<QByteArray>("afterMessage");
        QTest::newRow("taken") << QByteArray("250 Ok: queued\r\n");
        QTest::newRow("refused") << QByteArray("550 content rejected\r\n");
        QTest::newRow("several lines") << QByteArray("451-try\r\n451 later\r\n");
    }
    void quitUntilClosed()
    {
        QFETCH(QByteArray, afterMessage);
        Relay r;
        for (const QByteArray& w : Willing)
            r(w);
        QCOMPARE(r.step(), 12);
        QCOMPARE(r(afterMessage), Lines{"QUIT "});
        QCOMPARE(r("250 Ok\r\n"), Lines{"QUIT "});
        QCOMPARE(r("500 what\r\n"), Lines{"QUIT "});
        QCOMPARE(r.step(), 13);
        QVERIFY(r.s.released.empty());
        QCOMPARE(r("221 closing\r\n"), Lines{});
        QCOMPARE(r.s.released, std::vector<qint16>{Relay::I});
    }

    void stepOutsideRelay_data()
    {
        QTest::addColumn<int>("step");
        for (int step : {0, 2, 3, 4, 5, 6, 14})
            QTest::newRow(qPrintable(QString::number(step))) << step;
    }
    void stepOutsideRelay()
    {
        QFETCH(int, step);
        Relay r(step);
        QCOMPARE(r("220 mx.far.test ESMTP\r\n"), Lines{"500 Syntax error"});
        QCOMPARE(r.s.released, std::vector<qint16>{Relay::I});
        QVERIFY(!r.s.Session(Relay::I));
    }

    // Records are "preference|host".
    void parseRecords_data()
    {
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<QStringList>("records");
        QTest::newRow("two records among other lines")
            << QByteArray("Server:  127.0.0.1\r\nAddress:  127.0.0.1#53\r\n\r\n"
                          "far.test\tMX preference = 20, mail exchanger = B\r\nfar.test\tMX preference = 10, mail exchanger = A\r\n")
            << QStringList{" 20|B", " 10|A"};
        QTest::newRow("host keeps trailing blanks") << QByteArray("MX preference = 5, mail exchanger = mx.far.test  \r\n")
                                                   << QStringList{" 5|mx.far.test  "};
        QTest::newRow("text between comma and host")
            << QByteArray("MX preference =10, ttl 300, mail exchanger = mx.far.test\r\n") << QStringList{"10|mx.far.test"};
        QTest::newRow("no comma") << QByteArray("MX preference = 20 mail exchanger = B\r\nMX preference = 10, mail exchanger = A\r\n")
                                  << QStringList{" 10|A"};
        QTest::newRow("no CR LF at the end") << QByteArray("MX preference = 10, mail exchanger = A\r\nMX preference = 20, mail exchanger = B")
                                             << QStringList{" 10|A"};
        QTest::newRow("no CR LF before the next")
            << QByteArray("MX preference = 20, mail exchanger = B MX preference = 10, mail exchanger = A\r\n") << QStringList{" 10|A"};
        QTest::newRow("no host part") << QByteArray("MX preference = 20,\r\nMX preference = 10, mail exchanger = A\r\n")
                                      << QStringList{" 10|A"};
        QTest::newRow("LF only") << QByteArray("MX preference = 10, mail exchanger = A\n") << QStringList{};
        QTest::newRow("nothing") << QByteArray("** server can't find far.test: NXDOMAIN\r\n") << QStringList{};
        QByteArray big;
        QStringList many;
        for (int i = 1; i <= 100; ++i) {
            big += "far.test\tMX preference = " + QByteArray::number(i) + ", mail exchanger = mx" + QByteArray::number(i) + ".far.test\r\n";
            many << QStringLiteral(" %1|mx%1.far.test").arg(i);
        }
        QVERIFY(big.size() > 4096);
        QTest::newRow("more than 4096 bytes") << big << many;
    }
    void parseRecords()
    {
        QFETCH(QByteArray, output);
        QFETCH(QStringList, records);
        QStringList got;
        for (const DNS::Record& r : DNS::ParseRecords(output))
            got << r.Priority + QLatin1Char('|') + r.MX;
        QCOMPARE(got, records);
    }

    // A domain with rows is answered from the table, in preference order, without the script.
    void tableFirst()
    {
        const QByteArray table = "Domain,MX,Priority\nfar.test,mx20.far.test, 20\nnear.test,mx.near.test, 1\n"
                                 "far.test,mx10.far.test, 10\nfar.test,mx5.far.test,5\n";
        Lookup l(table);
        QCOMPARE(l.dns.GetMX(QStringLiteral("far.test")), QStringLiteral("mx5.far.test"));
        QCOMPARE(l.dns.GetMX(QStringLiteral("near.test")), QStringLiteral("mx.near.test"));
        QVERIFY(l.runs().isEmpty());
        QCOMPARE(l.pf.Read(QStringLiteral("DomainMX.txt")), table);
    }

    // The script's records are appended in its order; the last one is used now, the best
    // one from then on.
    void lookupAppends_data()
    {
        QTest::addColumn<QString>("domain");
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("later");
        QTest::addColumn<QStringList>("rows");
        QTest::newRow("20 B, then 10 A") << "ba.test" << "A" << "A" << QStringList{"ba.test,B, 20", "ba.test,A, 10"};
        QTest::newRow("10 A, then 20 B") << "ab.test" << "B" << "A" << QStringList{"ab.test,A, 10", "ab.test,B, 20"};
        QTest::newRow("host with trailing blanks") << "blanks.test" << "mx.blanks.test  " << "mx.blanks.test  "
                                                   << QStringList{"blanks.test,mx.blanks.test  , 7"};
        QTest::newRow("single quote in domain") << "o'neil.test" << "mx.o'neil.test" << "mx.o'neil.test"
                                                << QStringList{"o'neil.test,mx.o'neil.test, 10"};
    }
    void lookupAppends()
    {
        QFETCH(QString, domain);
        QFETCH(QString, first);
        QFETCH(QString, later);
        QFETCH(QStringList, rows);
        Lookup l("Domain,MX,Priority\nnear.test,mx.near.test, 1\n");
        QCOMPARE(l.dns.GetMX(domain), first);
        QCOMPARE(l.rows(), QStringList{"near.test,mx.near.test, 1"} + rows);
        QCOMPARE(l.dns.GetMX(domain), later);
        QCOMPARE(l.runs(), QStringList{domain});   // the script ran once, with the domain unchanged
        QCOMPARE(l.rows().size(), rows.size() + 1);
    }

    // Output without a record: "" and nothing kept, so the next delivery asks again.
    void noRecord_data()
    {
        QTest::addColumn<QString>("domain");
        QTest::newRow("script writes nothing") << "silent.test";
        QTest::newRow("script writes an error") << "noanswer.test";
    }
    void noRecord()
    {
        QFETCH(QString, domain);
        Lookup l;
        QCOMPARE(l.dns.GetMX(domain), QString());
        QCOMPARE(l.dns.GetMX(domain), QString());
        QCOMPARE(l.runs(), (QStringList{domain, domain}));
        QVERIFY(l.rows().isEmpty());
    }

    void pipeNeverOpened_data()
    {
        QTest::addColumn<bool>("script");
        QTest::newRow("script exits first") << true;
        QTest::newRow("no script") << false;
    }
    void pipeNeverOpened()
    {
        QFETCH(bool, script);
        Lookup l;
        if (!script)
            QVERIFY(QFile::remove(l.pf.Path(QStringLiteral("GetMX.sh"))));
        l.dns.OpenTimeoutMs = 500;
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(l.dns.GetMX(QStringLiteral("closed.test")), QString());
        QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(l.rows().isEmpty());
    }

    // More than one read's worth, with a record cut between two writes.
    void longOutput()
    {
        Lookup l;
        QCOMPARE(l.dns.GetMX(QStringLiteral("big.test")), QStringLiteral("last.big.test"));
        const QStringList rows = l.rows();
        QCOMPARE(rows.size(), 121);
        QCOMPARE(rows.first(), QStringLiteral("big.test,mx1.big.test, 1"));
        QCOMPARE(rows.last(), QStringLiteral("big.test,last.big.test, 0"));
        QCOMPARE(l.dns.GetMX(QStringLiteral("big.test")), QStringLiteral("last.big.test"));
        QCOMPARE(l.runs().size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestRelay)
#include "test_relay.moc"
