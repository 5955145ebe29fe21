// The relay client's dialogue ("S:" the exchanger, "C:" what we send) and the
// mail-exchanger lookup behind it.
#include "TestSupport.h"
#include "relay/MtaSts.h"
#include "relay/MxLookup.h"
#include "relay/QueueFile.h"
#include "relay/RelayClient.h"
#include "relay/RelaySession.h"

#include <QProcess>
#include <QRegularExpression>
#include <fcntl.h>

namespace {

const QByteArray Mail = "C: MAIL FROM:<a@here.test> SIZE=19", Offer = "S: 250-mx.far.test\n250-STARTTLS\n250 SIZE";
// An exchanger that takes the message, up to its end-of-data line: each line we send
// gets CR LF added.
const Lines Willing = {"S: 220 mx.far.test ESMTP", "C: EHLO mx.test.host", "S: 250 mx.far.test", Mail, "S: 250 2.1.0 Ok", "C: RCPT TO:<b@far.test>",
                       "S: 250 2.1.5 Ok", "C: DATA", "S: 354 go ahead", "C: Subject: x\n\nhello", "C: ."};
const Lines Bye = {"S: 250 2.0.0 Ok: queued", "C: QUIT ", "S: 221 2.0.0 Bye"};
Lines Ehlo(const Lines& rows) { return Willing.mid(0, 2) + rows + Willing.mid(4) + Bye; }
// Any other reply in Steps 7 to 11, and any after the message, gets "QUIT "; so does every
// reply after that but 221, which releases the connection.
Lines Refused(int accepted, const QByteArray& reply)
{
    return Willing.mid(0, accepted < 5 ? 2 * accepted : Willing.size()) + Lines{"S: " + reply, "C: QUIT ", "S: 250 Ok", "C: QUIT ", "S: 221 bye"};
}

// Towards a relay host: its EHLO replies before and inside TLS, the login, and the copies
// one after the other on the same connection.
const QByteArray User = "me@home.test", Password = "s3cret pass";
const QByteArray Plain = "C: AUTH PLAIN " + (QByteArray(1, '\0') + User + '\0' + Password).toBase64();
const Lines HostHello = {"S: 220 smtp.relay.test ESMTP", "C: EHLO mx.test.host", "S: 250-smtp.relay.test\n250-STARTTLS\n250 SIZE", "C: STARTTLS",
                         "S: 220 go ahead", "C: EHLO mx.test.host"};
Lines Copy(const QByteArray& to, const QByteArray& answer)
{
    return {Mail, "S: 250 2.1.0 Ok", "C: RCPT TO:<" + to + ">", "S: 250 2.1.5 Ok", "C: DATA", "S: 354 go ahead", "C: Subject: x\n\nhello", "C: .", "S: " + answer};
}
const Lines Quit = {"C: QUIT ", "S: 221 2.0.0 Bye"};
const Lines Rset = {"C: RSET", "S: 250 2.0.0 Ok"};

// A program folder with the fixture lookup script as GetMX.sh.
struct Lookup {
    ProgramFolder pf;
    DNS dns;
    explicit Lookup(const QByteArray& domainMx = "Domain,MX,Priority\n") : pf("UserName,Password,MailID\n", domainMx)
    {
        QFile::copy(ScriptsDir() + "/getmx-fixture.sh", pf.Path("GetMX.sh"));
        dns.OpenTimeoutMs = 3000;
    }
    // The hosts of a domain, best first; waits for the answer as the event loop runs.
    QStringList ask(const QString& domain)
    {
        std::optional<QStringList> got;
        dns.Lookup(domain, [&got](const QStringList& hosts, const QString&) { got = hosts; });
        [&] { QTRY_VERIFY_WITH_TIMEOUT(got.has_value(), 60000); }();
        return got.value_or(QStringList{"(no answer)"});
    }
    // The rows without the time they are kept until.
    QStringList rows() const { return QString::fromUtf8(pf.Read("DomainMX.txt")).remove(QRegularExpression(" \\(from DNS until [^)]*\\)")).split('\n', Qt::SkipEmptyParts).mid(1); }
    QStringList runs() const { return QString::fromUtf8(pf.Read("runs.log")).split('\n', Qt::SkipEmptyParts); }
};

// A copy's 19-byte text, read from `text` (written on the first call).
FileReply TextOf(QTemporaryFile& text)
{
    if (!text.isOpen() && (!text.open() || text.write("Subject: x\r\n\r\nhello") != 19 || !text.flush()))
        qFatal("cannot write the copy's text");
    FileReply reply;
    reply.fd = ::open(QFile::encodeName(text.fileName()).constData(), O_RDONLY);
    reply.length = 19;
    return reply;
}

// A relay connection 3 about to greet, with a copy from a@here.test of TextOf(text).
RelaySession& Prepared(FakeServer& s, QTemporaryFile& text)
{
    RelaySession& r = s.Open<RelaySession>(3, RelayStep::Connecting);
    r.Sender = "a@here.test";
    r.Text = TextOf(text);
    return r;
}

}

class TestRelay : public QObject {
    Q_OBJECT

private slots:
    void dialogue_data()
    {
        QTest::addColumn<Lines>("script");
        QTest::addColumn<bool>("tls");
        QTest::addColumn<QByteArray>("logged");
        const QByteArray none = "3-TLS none: the exchanger offers no STARTTLS";
        QTest::newRow("EHLO reply in one line") << Willing + Bye << false << none;
        QTest::newRow("in two pieces") << Ehlo({"S: 250-mx.far.test\n250-PIPELINING", "S: 250 SIZE 10240000", Mail}) << false << none;
        QTest::newRow("STARTTLS, EHLO again") << Ehlo({Offer, "C: STARTTLS", "S: 220 go ahead", "C: EHLO mx.test.host", Offer, Mail}) << true << QByteArray();
        QTest::newRow("STARTTLS refused: in clear") << Ehlo({Offer, "C: STARTTLS", "S: 454 4.7.0 TLS not available", Mail}) << false
                                                    << QByteArray("3-TLS none: the exchanger refused STARTTLS");
        QTest::newRow("greeting 554") << Refused(0, "554 no service") << false << QByteArray();
        QTest::newRow("MAIL several lines") << Refused(2, "250-Ok\n250 Ok") << false << QByteArray();
        QTest::newRow("RCPT 251") << Refused(3, "251 User not local; will forward") << false << QByteArray();
    }
    void dialogue()
    {
        QFETCH(Lines, script); QFETCH(bool, tls); QFETCH(QByteArray, logged);
        FakeServer s;
        QTemporaryFile text;
        RelaySession& r = Prepared(s, text);
        r.Recipients = {"b@far.test"};
        Play(s, 3, script, [&](qint16 i, const QByteArray& b) { Gather(s, i, b, RelayReply); }, 'S');
        QCOMPARE(s.released, std::vector<qint16>{3});
        QVERIFY(!s.Session(3));
        QCOMPARE(s.encrypted.count(3) == 1, tls);
        QVERIFY(logged.isEmpty() || s.log.contains(logged));
    }

    // A relay host: STARTTLS as RelayHostTls demands, the login inside TLS only (PLAIN when
    // offered, else LOGIN), copy after copy with RSET between while the queue has more, and
    // every failure before MAIL decided in a step the queue retries, never bounces. Copies
    // taken one after the other are tests/e2e/test_smarthost.py's.
    void hostDialogue_data()
    {
        QTest::addColumn<Lines>("script");
        QTest::addColumn<int>("tls");          // RelayHostPolicy::Tls
        QTest::addColumn<int>("copies");       // the queue has this many in all
        QTest::addColumn<Lines>("decided");    // step and reply of each copy decided
        QTest::addColumn<bool>("encrypted");
        using T = RelayHostPolicy::Tls;
        const QByteArray auth = "S: 250-smtp.relay.test\n250 AUTH PLAIN LOGIN";
        const Lines plain = HostHello + Lines{auth, Plain, "S: 235 2.7.0 Authentication successful"};
        QTest::newRow("LOGIN when PLAIN is not offered")
            << HostHello + Lines{"S: 250-smtp.relay.test\n250-AUTH=LOGIN\n250 AUTH LOGIN CRAM-MD5", "C: AUTH LOGIN", "S: 334 VXNlcm5hbWU6", "C: " + User.toBase64(),
                                 "S: 334 UGFzc3dvcmQ6", "C: " + Password.toBase64(), "S: 235 2.7.0 Ok"} + Copy("b@far.test", "250 queued") + Quit
            << int(T::Verify) << 1 << Lines{"12 250 queued"} << true;
        QTest::newRow("none: no STARTTLS, no login") << Lines{"S: 220 smtp.relay.test", "C: EHLO mx.test.host", "S: 250-STARTTLS\n250 AUTH PLAIN"}
                                                            + Copy("b@far.test", "250 queued") + Quit
                                                     << int(T::None) << 1 << Lines{"12 250 queued"} << false;
        QTest::newRow("no STARTTLS offered") << Lines{"S: 220 smtp.relay.test", "C: EHLO mx.test.host", "S: 250-AUTH PLAIN\n250 SIZE"} + Quit << int(T::Encrypt) << 1
                                             << Lines{"8 no STARTTLS offered, and RelayHostTls requires it"} << false;
        QTest::newRow("STARTTLS refused") << HostHello.mid(0, 4) + Lines{"S: 454 4.7.0 TLS not available"} + Quit << int(T::Verify) << 1
                                          << Lines{"14 STARTTLS refused: 454 4.7.0 TLS not available"} << false;
        QTest::newRow("no AUTH inside TLS") << HostHello + Lines{"S: 250-smtp.relay.test\n250 SIZE"} + Quit << int(T::Verify) << 1
                                            << Lines{"8 no AUTH PLAIN or LOGIN offered"} << true;
        const Lines refusedRcpt = {Mail, "S: 250 Ok", "C: RCPT TO:<b@far.test>", "S: 550 5.1.1 unknown"};
        QTest::newRow("RCPT 550, the next copy still goes") << plain + refusedRcpt + Rset + Copy("c@far.test", "250 second") + Quit << int(T::Verify) << 2
                                                            << Lines{"10 550 5.1.1 unknown", "12 250 second"} << true;
        QTest::newRow("421 after the message: no RSET") << plain + Copy("b@far.test", "421 4.3.0 closing") + Quit << int(T::Verify) << 2
                                                        << Lines{"12 421 4.3.0 closing"} << true;
        QTest::newRow("RSET refused: the next copy waits") << plain + Copy("b@far.test", "250 first") + Lines{"C: RSET", "S: 502 no"} + Quit << int(T::Verify)
                                                           << 2 << Lines{"12 250 first", "18 502 no"} << true;
    }
    void hostDialogue()
    {
        QFETCH(Lines, script); QFETCH(int, tls); QFETCH(int, copies); QFETCH(Lines, decided); QFETCH(bool, encrypted);
        FakeServer s;
        RelaySession& r = s.Open<RelaySession>(3, RelayStep::Connecting);
        auto host = std::make_shared<RelayHostPolicy>();
        host->host = "smtp.relay.test";
        host->tls = RelayHostPolicy::Tls(tls);
        host->user = User;
        host->password = Password;
        host->shown = "smtp.relay.test:587";
        r.Host = host;
        QTemporaryFile text;
        Lines got;
        int handed = 0;
        // As the queue puts a copy in place: the sender, the next recipient, the text.
        const auto fill = [&](RelaySession& session) {
            if (handed == copies) return false;
            session.Sender = "a@here.test";
            session.Recipients = {QByteArray(1, char('b' + handed++)) + "@far.test"};
            session.Text = TextOf(text);
            session.Done = [&got](const QByteArray& reply, RelayStep step, const QList<QByteArray>&) { got << QByteArray::number(int(step)) + ' ' + reply.trimmed(); };
            return true;
        };
        fill(r);
        r.Next = fill;
        Play(s, 3, script, [&](qint16 i, const QByteArray& b) { Gather(s, i, b, RelayReply); }, 'S');
        QCOMPARE(s.released, std::vector<qint16>{3});
        QCOMPARE(got, decided);
        QCOMPARE(s.encrypted.count(3) == 1, encrypted);
        if (encrypted) {
            QCOMPARE(s.clientTls[3].verifyPeer, tls == int(RelayHostPolicy::Tls::Verify));
            QCOMPARE(s.clientTls[3].peerName, QString("smtp.relay.test"));
        }
        // The password never reaches the log, in clear or encoded.
        const QByteArray log = s.log.join('\n');
        for (const QByteArray& secret : {Password, Password.toBase64(), Plain.mid(3)})
            QVERIFY2(!log.contains(secret), log.constData());
        QVERIFY(!script.contains(Plain) || s.log.contains("3>AUTH PLAIN ********"));
    }

    // Several recipients in one transaction: every RCPT is sent whatever the one before was
    // told, DATA only when one was taken, and the copy is decided with each RCPT's reply
    // (refusals among taken ones: tests/e2e/test_relay_many.py).
    void transaction_data()
    {
        QTest::addColumn<Lines>("script");
        QTest::addColumn<QByteArray>("decided");   // "step reply | RCPT replies"
        const Lines start = Willing.mid(0, 5);
        const auto rcpts = [](const QByteArray& b, const QByteArray& c, const QByteArray& d) {
            return Lines{"C: RCPT TO:<b@far.test>", "S: " + b, "C: RCPT TO:<c@far.test>", "S: " + c, "C: RCPT TO:<d@far.test>", "S: " + d};
        };
        const Lines data = {"C: DATA", "S: 354 go ahead", "C: Subject: x\n\nhello", "C: ."};
        QTest::newRow("message refused for all") << start + rcpts("250 Ok", "251 will forward", "250 Ok") + data + Lines{"S: 554 5.7.1 spam", "C: QUIT ", "S: 221 bye"}
                                                 << QByteArray("12 554 5.7.1 spam | 250 Ok, 251 will forward, 250 Ok");
        QTest::newRow("every RCPT refused: no DATA") << start + rcpts("550 no", "450 later", "550 no") + Bye.mid(1)
                                                     << QByteArray("10 550 no | 550 no, 450 later, 550 no");
        QTest::newRow("MAIL 451: no RCPT") << start.mid(0, 4) + Lines{"S: 451 4.3.0 later"} + Bye.mid(1) << QByteArray("9 451 4.3.0 later |");
    }
    void transaction()
    {
        QFETCH(Lines, script); QFETCH(QByteArray, decided);
        FakeServer s;
        QTemporaryFile text;
        RelaySession& r = Prepared(s, text);
        r.Recipients = {"b@far.test", "c@far.test", "d@far.test"};
        QByteArray got;
        r.Done = [&got](const QByteArray& reply, RelayStep step, const QList<QByteArray>& rcpt) {
            got = QByteArray::number(int(step)) + ' ' + reply.trimmed() + " |";
            for (const QByteArray& each : rcpt) got += (got.endsWith('|') ? " " : ", ") + each.trimmed();
        };
        Play(s, 3, script, [&](qint16 i, const QByteArray& b) { Gather(s, i, b, RelayReply); }, 'S');
        QCOMPARE(s.released, std::vector<qint16>{3});
        QCOMPARE(got, decided);
    }

    // Reading the queue back: what is taken, and what is listed as damaged to be moved aside,
    // in order (each envelope with its text, then texts alone). Files: "name=content",
    // "name->target" (a link), "name/" (a folder).
    void readBack_data()
    {
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QStringList>("messages");
        QTest::addColumn<QStringList>("damaged");
        const QString good = "={\"from\": \"a@here.test\", \"accepted\": 1, \"recipients\": [{\"to\": \"x@far.test\", \"head\": \"\", "
                             "\"attempts\": 1, \"next\": 0, \"reply\": \"\"}]}";
        const QString text = "=Subject: x\r\n\r\nhello\r\n";
        QTest::newRow("whole, in order of names") << QStringList{"b.json" + good, "b.eml" + text, "a.json" + good, "a.eml" + text} << QStringList{"a", "b"}
                                                  << QStringList{};
        QTest::newRow("envelope without its text") << QStringList{"a.json" + good} << QStringList{} << QStringList{"a.json"};
        QTest::newRow("text without its envelope") << QStringList{"b.eml" + text, "a.eml" + text, "c.json" + good, "c.eml" + text} << QStringList{"c"}
                                                   << QStringList{"a.eml", "b.eml"};
        QTest::newRow("envelope cut short") << QStringList{"a.json={\"from\": \"a@here.test\", \"recip", "a.eml" + text} << QStringList{}
                                            << QStringList{"a.json", "a.eml"};
        QTest::newRow("trace line not ours") << QStringList{"a.json" + QString(good).replace("\"head\": \"\"", "\"head\": \"X-Fake: 1\\r\\n\""), "a.eml" + text}
                                             << QStringList{} << QStringList{"a.json", "a.eml"};
        QTest::newRow("text is a link") << QStringList{"a.json" + good, "a.eml->b.eml", "b.eml" + text} << QStringList{}
                                        << QStringList{"a.json", "a.eml", "b.eml"};
        QTest::newRow("folders and other names left alone") << QStringList{"a.json/", "b.eml/", "flush=", "c.json.tmp" + good, "d.json" + good, "d.eml" + text}
                                                           << QStringList{"d"} << QStringList{};
    }
    void readBack()
    {
        QFETCH(QStringList, files);
        QFETCH(QStringList, messages);
        QFETCH(QStringList, damaged);
        ProgramFolder pf;
        QVERIFY(QDir().mkpath(QueueFile::Folder()));
        for (const QString& f : files) {
            const QString path = QueueFile::Folder() + "/" + f.section(QRegularExpression("=|->|/$"), 0, 0);
            if (f.endsWith('/'))
                QVERIFY(QDir().mkpath(path));
            else if (f.contains("->"))
                QVERIFY(QFile::link(f.section("->", 1), path));
            else
                QVERIFY(pf.Write("Queue/" + f.section('=', 0, 0), f.section('=', 1).toUtf8()));
        }
        QStringList got, listed;
        for (const QueuedMessage& m : QueueFile::Read(&listed))
            got << m.id;
        QCOMPARE(got, messages);
        QCOMPARE(listed, damaged);
    }

    // An MTA-STS policy as fetched: "" when it is not one; else the exchangers it lets through
    // of mx.far.test, a.mx.far.test, b.a.mx.far.test, MX.FAR.TEST. (the wildcard covers one label).
    void stsPolicy_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QByteArray>("taken");
        const QByteArray head = "version: STSv1\r\nmode: enforce\r\nmax_age: 86400\r\n";
        QTest::newRow("named") << head + "mx: mx.far.test" << QByteArray("mx.far.test MX.FAR.TEST.");
        QTest::newRow("wildcard") << head + "mx: *.mx.far.test\nmx: other.test" << QByteArray("a.mx.far.test");
        QTest::newRow("no mx") << head << QByteArray();
        QTest::newRow("mode none needs none") << QByteArray("version: STSv1\nmode: none\nmax_age: 0\n") << QByteArray(" ");
        QTest::newRow("unknown mode") << QByteArray("version: STSv1\nmode: strict\nmax_age: 1\nmx: mx.far.test") << QByteArray();
        QTest::newRow("other version") << QByteArray("version: STSv2\nmode: testing\nmax_age: 1\nmx: mx.far.test") << QByteArray();
        QTest::newRow("max_age past a year") << QByteArray("version: STSv1\nmode: testing\nmax_age: 31557601\nmx: mx.far.test") << QByteArray();
    }
    void stsPolicy()
    {
        QFETCH(QByteArray, text); QFETCH(QByteArray, taken);
        const std::optional<MtaSts::Policy> p = MtaSts::Parse(text);
        QCOMPARE(p.has_value(), !taken.isEmpty());
        QByteArrayList matched;
        for (const QByteArray host : {"mx.far.test", "a.mx.far.test", "b.a.mx.far.test", "MX.FAR.TEST."})
            if (p && MtaSts::Matches(*p, host))
                matched << host;
        QCOMPARE(matched.join(' '), taken.trimmed());
    }

    // The TXT record's id: one "v=STSv1" record with an id of 1 to 32 letters and digits.
    void stsRecord()
    {
        QCOMPARE(MtaSts::RecordId({"v=spf1 -all", "v=STSv1; id=20261207T01;"}), QByteArray("20261207T01"));
        for (const QByteArrayList& txt : {QByteArrayList{"v=STSv1; id=a", "v=STSv1; id=b"}, {"v=STSv1; id=no-dash"}, {"v=STSv10; id=1"}, {"v=STSv1"}})
            QVERIFY2(MtaSts::RecordId(txt).isEmpty(), txt.join('|').constData());
    }

    // A record counts only with "," after the preference and CR LF after the host, before
    // the next record: output cut short gives no half host.
    void parseRecords()
    {
        const QByteArray a = "MX preference = 10, mail exchanger = A\r\n";
        for (const QByteArray broken : {"MX preference = 20 mail exchanger = B\r\n", "MX preference = 20, mail exchanger = B ", "MX preference = 20, mail exchanger = B\n"})
            for (const QByteArray& output : {broken + a, a + broken}) {
                const auto r = DNS::ParseRecords(output);
                QVERIFY2(r.size() == 1 && r[0].MX == "A" && r[0].Priority == " 10", output.constData());
            }
    }

    // A domain with rows is answered from the table, best preference first (as numbers),
    // without the script.
    void tableFirst()
    {
        const QByteArray table = "Domain,MX,Priority\nfar.test,mx20, 20\nnear.test,mx.near, 1\nfar.test,mx100,100\nfar.test,mx5,5\n";
        Lookup l(table);
        QCOMPARE(l.ask("far.test"), (QStringList{"mx5", "mx20", "mx100"}));
        QCOMPARE(l.ask("near.test"), QStringList{"mx.near"});
        QVERIFY(l.runs().isEmpty());
        QCOMPARE(l.pf.Read("DomainMX.txt"), table);
    }

    // The script's records are appended in its order; every host is given, best first, now
    // and from the table later, and the script is not asked again. Two lookups at once
    // share one run.
    void lookupAppends_data()
    {
        QTest::addColumn<QString>("domain");
        QTest::addColumn<QStringList>("hosts");
        QTest::addColumn<QStringList>("rows");   // the rows added, or the first and last of them
        QTest::newRow("20 B, then 10 A") << "ba.test" << QStringList{"A", "B"} << QStringList{"ba.test,B, 20", "ba.test,A, 10"};
        QTest::newRow("host with trailing blanks") << "blanks.test" << QStringList{"mx.blanks.test  "} << QStringList{"blanks.test,mx.blanks.test  , 7"};
        QTest::newRow("pipe opened at once, written after the open bound") << "late.test" << QStringList{"mx.late.test"} << QStringList{"late.test,mx.late.test, 10"};
        QTest::newRow("quote in domain") << "o'neil.test" << QStringList{"mx.o'neil.test"} << QStringList{"o'neil.test,mx.o'neil.test, 10"};
        QTest::newRow("121 records, over 4096 bytes, the last in two writes")
            << "big.test" << QStringList{"last.big.test", "mx1.big.test"} << QStringList{"big.test,mx1.big.test, 1", "big.test,last.big.test, 0"};
    }
    void lookupAppends()
    {
        QFETCH(QString, domain); QFETCH(QStringList, hosts); QFETCH(QStringList, rows);
        Lookup l("Domain,MX,Priority\nnear.test,mx.near, 1\n");
        if (domain == "late.test") l.dns.OpenTimeoutMs = 700;
        QStringList other;
        l.dns.Lookup(domain, [&other](const QStringList& h, const QString&) { other = h; });
        for (const QStringList& got : {l.ask(domain), other, l.ask(domain)})
            QCOMPARE(got.mid(0, hosts.size()), hosts);
        QCOMPARE(l.runs(), QStringList{domain});   // the script ran once, with the domain unchanged
        const QStringList got = l.rows();
        QCOMPARE(got.size(), domain == "big.test" ? 122 : rows.size() + 1);
        QCOMPARE((QStringList{got.first(), got[1], got.last()}), (QStringList{"near.test,mx.near, 1", rows.first(), rows.last()}));
    }

    // No record, a script that never opens its pipe, or no script: no host and nothing kept, so
    // the next delivery asks again. A missing script is reported at once: waiting for its
    // pipe stalled every other connection.
    void noRecord()
    {
        static QStringList reported;
        mdlCommon::SetReporter([](const QString& line) { reported << line; });
        for (const auto& [domain, script] : QList<std::pair<QString, bool>>{{"silent.test", true}, {"closed.test", true}, {"closed.test", false}}) {
            Lookup l;
            if (!script) QVERIFY(QFile::remove(l.pf.Path("GetMX.sh")));
            l.dns.OpenTimeoutMs = script ? 500 : 600000;   // the wait for the pipe is bounded
            reported.clear();
            QCOMPARE(l.ask(domain), QStringList());
            QCOMPARE(l.ask(domain), QStringList());
            QTRY_COMPARE(l.runs(), (script ? QStringList{domain, domain} : QStringList{}));
            QVERIFY(l.rows().isEmpty());
            QVERIFY(script || (reported.size() == 2 && reported[0].contains("no lookup script")));
        }
        mdlCommon::SetReporter(nullptr);
    }

    // A server killed in the middle of a lookup leaves its pipe folder: the next one removes it,
    // and leaves a running server's alone.
    void stalePipes()
    {
        QProcess ended;
        ended.start("true");
        QVERIFY(ended.waitForStarted());
        const qint64 endedPid = ended.processId();
        QVERIFY(ended.waitForFinished());
        const QString dead = QDir::tempPath() + "/tandrivel-getmx-" + QString::number(endedPid) + "-x";
        const QString live = QDir::tempPath() + "/tandrivel-getmx-" + QString::number(QCoreApplication::applicationPid()) + "-x";
        QVERIFY(QDir().mkpath(dead) && QDir().mkpath(live));
        Lookup l;
        QVERIFY(!QFileInfo::exists(dead));
        QVERIFY(QFileInfo::exists(live));
        QDir(live).removeRecursively();
    }

    // Text for a connection whose session has gone, or holds another protocol's part, is
    // dropped with a line in the log: no handler answers it or leaves it in the buffer.
    void noSession()
    {
        struct Row { CommandHandler handler; QByteArray what; bool otherIsSmtp; };
        for (const Row& row : {Row{Pop3Command, "POP3 text", true}, Row{SmtpHandler(), "SMTP text", false}, Row{RelayReply, "relay reply", false}}) {
            FakeServer s;
            OpenSession(s, 3, row.otherIsSmtp);
            s.Session(3)->Command = "QUIT\r\n";
            row.handler(s, 2, "QUIT\r\n");
            row.handler(s, 3, "QUIT\r\n");
            QCOMPARE(s.log, (Lines{"2-Ignored: no session for " + row.what, "3-Ignored: no session for " + row.what}));
            QCOMPARE(s.Session(3)->Command, QByteArray("QUIT\r\n"));
            QVERIFY(s.sent.empty() && s.released.empty());
        }
    }
};

QTEST_GUILESS_MAIN(TestRelay)
#include "test_relay.moc"
