// The relay client's dialogue and the mail-exchanger lookup behind it.
#include "TestSupport.h"
#include "relay/DNS.h"
#include "relay/RelayReply.h"

namespace {

// A relay session on index 3 that carries a 19-character message.
struct Relay {
    static constexpr qint16 I = 3;
    FakeServer s;
    explicit Relay(int step = RelayConnecting)
    {
        Connecter& c = s.Open(I, step);
        c.From = "a@here.test";
        c.Message = "Subject: x\r\n\r\nhello";
        c.Address << "b@far.test";
    }
    Lines operator()(const QByteArray& reply)   // the lines sent in answer to one reply
    {
        const size_t before = s.sent.size();
        Gather(s, I, reply, RelayReply);
        Lines out;
        for (size_t k = before; k < s.sent.size(); ++k) out << s.sent[k].second;
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
        QFile::copy(ScriptsDir() + "/getmx-fixture.sh", pf.Path("GetMX.sh"));
        dns.OpenTimeoutMs = 3000;
    }
    QStringList rows() const { return QString::fromUtf8(pf.Read("DomainMX.txt")).split('\n', Qt::SkipEmptyParts).mid(1); }
    QStringList runs() const { return QString::fromUtf8(pf.Read("runs.log")).split('\n', Qt::SkipEmptyParts); }
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
        for (qsizetype k = 0; k + 1 < ehloReply.size(); ++k)
            QCOMPARE(r(ehloReply[k]), Lines{});   // waits for the last line
        QCOMPARE(r(ehloReply.last()), Lines{"MAIL FROM:<a@here.test> SIZE=19"});
        QCOMPARE(r("250 2.1.0 Ok\r\n"), Lines{"RCPT TO:<b@far.test>"});
        QCOMPARE(r("250 2.1.5 Ok\r\n"), Lines{"DATA"});
        // Each line goes out with CR LF added: the message as received, then ".".
        QCOMPARE(r("354 End data with <CR><LF>.<CR><LF>\r\n"), (Lines{"Subject: x\r\n\r\nhello", "."}));
        QCOMPARE(r("250 2.0.0 Ok: queued\r\n"), Lines{"QUIT "});
        QCOMPARE(r.step(), int(RelayQuitSent));
        QVERIFY(r.s.released.empty());
        QCOMPARE(r("221 2.0.0 Bye\r\n"), Lines{});
        QCOMPARE(r.s.released, std::vector<qint16>{Relay::I});
        QVERIFY(!r.s.Session(Relay::I));
    }

    // An exchanger that offers STARTTLS gets it, and EHLO again inside TLS; one that then
    // refuses it still gets the message in clear. The log says which.
    void startTls()
    {
        for (const bool refused : {false, true}) {
            Relay r;
            const QByteArray offer = "250-mx.far.test\r\n250-STARTTLS\r\n250 SIZE\r\n";
            r("220 mx.far.test ESMTP\r\n");
            QCOMPARE(r(offer), Lines{"STARTTLS"});
            if (refused) {
                QCOMPARE(r("454 4.7.0 TLS not available\r\n"), Lines{"MAIL FROM:<a@here.test> SIZE=19"});
                QVERIFY(r.s.log.contains("3-TLS none: the exchanger refused STARTTLS"));
                continue;
            }
            QCOMPARE(r("220 go ahead\r\n"), Lines{"EHLO mx.test.host"});
            QCOMPARE(r(offer), Lines{"MAIL FROM:<a@here.test> SIZE=19"});
            QVERIFY(r.s.encrypted.count(Relay::I));
        }
        Relay plain;
        plain("220 mx ESMTP\r\n");
        plain("250 mx\r\n");
        QVERIFY(plain.s.log.contains("3-TLS none: the exchanger offers no STARTTLS"));
    }

    // Any other reply in Steps 7 to 11, and any reply after the message, is answered with
    // "QUIT "; so is every reply after that but 221, which releases the connection.
    void refusal_data()
    {
        QTest::addColumn<int>("accepted");   // replies of Willing taken before
        QTest::addColumn<QByteArray>("reply");
        QTest::newRow("greeting 554") << 0 << QByteArray("554 no service\r\n");
        QTest::newRow("EHLO 502") << 1 << QByteArray("502 not implemented\r\n");
        QTest::newRow("MAIL 550") << 2 << QByteArray("550 no\r\n");
        QTest::newRow("MAIL 250 without blank") << 2 << QByteArray("250Ok\r\n");
        QTest::newRow("MAIL several lines") << 2 << QByteArray("250-Ok\r\n250 Ok\r\n");
        QTest::newRow("RCPT 251") << 3 << QByteArray("251 User not local; will forward\r\n");
        QTest::newRow("DATA 250") << 4 << QByteArray("250 Ok\r\n");
        QTest::newRow("message taken") << 5 << QByteArray("250 Ok: queued\r\n");
        QTest::newRow("message refused") << 5 << QByteArray("451-try\r\n451 later\r\n");
    }
    void refusal()
    {
        QFETCH(int, accepted); QFETCH(QByteArray, reply);
        Relay r;
        for (int k = 0; k < accepted; ++k) r(Willing[k]);
        QCOMPARE(r.step(), RelayConnecting + accepted);
        QCOMPARE(r(reply), Lines{"QUIT "});
        QCOMPARE(r("250 Ok\r\n"), Lines{"QUIT "});
        QCOMPARE(r.step(), int(RelayQuitSent));
        QVERIFY(r.s.released.empty());
        QCOMPARE(r("221 bye\r\n"), Lines{});
        QCOMPARE(r.s.released, std::vector<qint16>{Relay::I});
    }

    // A record counts only with "," after the preference and CR LF after the host, before
    // the next record: output cut short gives no half host.
    void parseRecords()
    {
        const QByteArray a = "MX preference = 10, mail exchanger = A\r\n";
        for (const QByteArray& broken : {QByteArray("MX preference = 20 mail exchanger = B\r\n"), QByteArray("MX preference = 20, mail exchanger = B "),
                                         QByteArray("MX preference = 20, mail exchanger = B\n")}) {
            for (const QByteArray& output : {broken + a, a + broken}) {
                const auto r = DNS::ParseRecords(output);
                QVERIFY2(r.size() == 1 && r[0].MX == "A" && r[0].Priority == " 10", output.constData());
            }
        }
    }

    // A domain with rows is answered from the table, best preference first, without the script.
    void tableFirst()
    {
        const QByteArray table = "Domain,MX,Priority\nfar.test,mx20, 20\nnear.test,mx.near, 1\nfar.test,mx10, 10\nfar.test,mx5,5\n";
        Lookup l(table);
        QCOMPARE(l.dns.GetMX("far.test"), QString("mx5"));
        QCOMPARE(l.dns.GetMX("near.test"), QString("mx.near"));
        QVERIFY(l.runs().isEmpty());
        QCOMPARE(l.pf.Read("DomainMX.txt"), table);
    }

    // The script's records are appended in its order; the last one is used now, the best
    // one from then on, and the script is not asked again.
    void lookupAppends_data()
    {
        QTest::addColumn<QString>("domain");
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("later");
        QTest::addColumn<QStringList>("rows");   // the rows added, or the first and last of them
        QTest::newRow("20 B, then 10 A") << "ba.test" << "A" << "A" << QStringList{"ba.test,B, 20", "ba.test,A, 10"};
        QTest::newRow("10 A, then 20 B") << "ab.test" << "B" << "A" << QStringList{"ab.test,A, 10", "ab.test,B, 20"};
        QTest::newRow("host with trailing blanks") << "blanks.test" << "mx.blanks.test  " << "mx.blanks.test  " << QStringList{"blanks.test,mx.blanks.test  , 7"};
        QTest::newRow("pipe opened at once, written after the open bound") << "late.test" << "mx.late.test" << "mx.late.test" << QStringList{"late.test,mx.late.test, 10"};
        QTest::newRow("quote in domain") << "o'neil.test" << "mx.o'neil.test" << "mx.o'neil.test" << QStringList{"o'neil.test,mx.o'neil.test, 10"};
        QTest::newRow("121 records, over 4096 bytes, the last in two writes")
            << "big.test" << "last.big.test" << "last.big.test" << QStringList{"big.test,mx1.big.test, 1", "big.test,last.big.test, 0"};
    }
    void lookupAppends()
    {
        QFETCH(QString, domain); QFETCH(QString, first); QFETCH(QString, later); QFETCH(QStringList, rows);
        Lookup l("Domain,MX,Priority\nnear.test,mx.near, 1\n");
        if (domain == "late.test") l.dns.OpenTimeoutMs = 700;
        QCOMPARE(l.dns.GetMX(domain), first);
        QCOMPARE(l.dns.GetMX(domain), later);
        QCOMPARE(l.runs(), QStringList{domain});   // the script ran once, with the domain unchanged
        const QStringList got = l.rows();
        QCOMPARE(got.size(), domain == "big.test" ? 122 : rows.size() + 1);
        QCOMPARE((QStringList{got.first(), got[1], got.last()}), (QStringList{"near.test,mx.near, 1", rows.first(), rows.last()}));
    }

    // No record, a script that never opens its pipe, or no script: "" and nothing kept,
    // so the next delivery asks again.
    void noRecord()
    {
        for (const auto& [domain, script] : QList<std::pair<QString, bool>>{{"silent.test", true}, {"closed.test", true}, {"closed.test", false}}) {
            Lookup l;
            if (!script) QVERIFY(QFile::remove(l.pf.Path("GetMX.sh")));
            if (domain == "closed.test") l.dns.OpenTimeoutMs = 500;   // the wait for the pipe is bounded
            QCOMPARE(l.dns.GetMX(domain), QString());
            QCOMPARE(l.dns.GetMX(domain), QString());
            QTRY_COMPARE(l.runs(), (script ? QStringList{domain, domain} : QStringList{}));
            QVERIFY(l.rows().isEmpty());
        }
    }
};

QTEST_GUILESS_MAIN(TestRelay)
#include "test_relay.moc"
