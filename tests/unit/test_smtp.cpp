// The SMTP server side: replies, envelopes, message text, and what QUIT stores or relays.
#include "TestSupport.h"
#include "smtp/SmtpCommand.h"

#include <QDirIterator>
#include <QRegularExpression>
#include <QSet>
#include <functional>

namespace {

const QByteArray Ehlo = "250-mx.test.host\r\n250-VRFY\r\n250-ETRN\r\n250-8BITMIME\r\n250-PIPELINING\r\n"
                        "250-AUTH LONGIN PLAIN CRAM-MD5\r\n250 SIZE";
const QByteArray Go = "354 Start mail input; end with <CRLF>.<CRLF>";
const QByteArray Taken = "250 OK <SB>";
const QByteArray Bye = "221 Merivolant ESMTP Closed";
const QByteArray Env = "MAIL FROM:<a@here.test>\r\nRCPT TO:<taro@example.test>\r\n";
using Connects = std::vector<std::pair<qint16, QString>>;

// A fake that lets a test look at the store when a relay is added, and
// can hold file writes back until Drain(), as the real server's workers do.
class Watched : public FakeServer {
public:
    std::function<void()> onAdd;
    bool deferWrites = false;
    std::vector<std::pair<std::function<void()>, std::function<void()>>> pending;
    void AddSession(qint16 i, std::unique_ptr<Connecter> s) override { if (onAdd) onAdd(); FakeServer::AddSession(i, std::move(s)); }
    void RunDelivery(std::function<void()> work, std::function<void()> done) override
    {
        if (deferWrites) pending.emplace_back(std::move(work), std::move(done));
        else Server::RunDelivery(std::move(work), std::move(done));
    }
    void Drain()
    {
        for (size_t k = 0; k < pending.size(); ++k) {   // `done` may queue more
            auto [work, done] = std::move(pending[k]);
            work();
            done();
        }
    }
};

// One inbound SMTP connection on index 2, with mailboxes taro and hanako.
struct Smtp {
    ProgramFolder pf;
    Watched s;
    explicit Smtp(const QByteArray& domainMx = "Domain,MX,Priority\nfar.test,mx.far.test, 10\n") : pf("UserName,Password,MailID\n", domainMx)
    {
        s.Open(2, SmtpCommands);
        pf.Mailbox("taro");
        pf.Mailbox("hanako");
    }
    void operator()(const QByteArray& text) { Gather(s, 2, text, SmtpCommand); }
    Connecter& c() { return *s.Session(2); }
    Lines contents(const QString& box) const
    {
        Lines r;
        for (const QString& n : pf.Files("Users/" + box)) r << pf.Read("Users/" + box + '/' + n);
        return r;
    }
    QList<int> counts() const { return {int(pf.Files("Users/taro").size()), int(pf.Files("Users/hanako").size())}; }
};

QSet<QString> Tree(const QString& root)   // every path below root
{
    QSet<QString> all;
    for (QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories); it.hasNext();)
        all << it.next();
    return all;
}

}

class TestSmtp : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { mdlCommon::ServerDomain = "example.test"; }

    // Every reply, in order, to what arrives in one buffer.
    void replies_data()
    {
        QTest::addColumn<QByteArray>("buffer");
        QTest::addColumn<Lines>("replies");
        QTest::addColumn<int>("step");
        QTest::newRow("helo") << QByteArray("helo client.test\r\n") << Lines{"250 mx.test.host"} << 3;
        QTest::newRow("EHLO, seven lines") << QByteArray("ehlo client.test\r\n") << Lines{Ehlo} << 4;
        QTest::newRow("DATA") << QByteArray("DATA\r\n") << Lines{Go} << 2;
        for (const char* word : {"NOOP", "RSET", "VRFY taro", "QUI", ""})
            QTest::addRow("'%s'", word) << QByteArray(word) + "\r\n" << Lines{"500 Syntax error"} << 0;
        QTest::newRow("MAIL, RCPT") << QByteArray("MAIL FROM:<a@h.test> SIZE=9\r\nrcpt to:<b@far.test>\r\n") << Lines{"250 OK", "250 OK"} << 0;
        QTest::newRow("address without >") << QByteArray("MAIL FROM:<a@h.test\r\nRCPT TO: b@far.test\r\n")
                                           << Lines{"500 Syntax error;5:Invalid procedure call or argument (no >)",
                                                    "500 Syntax error;5:Invalid procedure call or argument (no <)"} << 0;
        QTest::newRow("whole session") << "EHLO c\r\n" + Env + "DATA\r\nSubject: p\r\n\r\nbody\r\n.\r\nQUIT\r\n"
                                       << Lines{Ehlo, "250 OK", "250 OK", Go, Taken, Bye} << 6;
        QTest::newRow("commands after DATA are text") << QByteArray("DATA\r\nHELO c\r\nRCPT TO:<x@y.test>\r\n") << Lines{Go} << 2;
        QTest::newRow("commands after the end of data") << QByteArray("DATA\r\nbody\r\n.\r\nNOOP\r\nHELO c\r\n")
                                                        << Lines{Go, Taken, "500 Syntax error", "250 mx.test.host"} << 3;
        QTest::newRow("nothing after QUIT") << QByteArray("QUIT\r\nHELO c\r\n") << Lines{Bye} << 6;
    }
    void replies()
    {
        QFETCH(QByteArray, buffer);
        QFETCH(Lines, replies);
        QFETCH(int, step);
        Smtp t;
        t(buffer);
        QCOMPARE(t.s.RepliesTo(2), replies);
        QCOMPARE(t.c().Step(), step);
    }

    // The address is what stands between the first "<" and the next ">"; a line without one
    // changes nothing.
    void envelope()
    {
        const struct { QByteArray text, from; Lines to; } rows[] = {
            {"MAIL FROM:<a@here.test> SIZE=1234\r\n", "a@here.test", {}},
            {"mail from:<>\r\n", "", {}},
            {"MAIL FROM:<a@here.test\r\nRCPT TO:<h@e.test>\r\n", "old@x.test", {"h@e.test"}},   // not completed by the next ">"
            {"RCPT TO: h@e.test\r\n", "old@x.test", {}},
        };
        for (const auto& r : rows) {
            Smtp t;
            t.c().From = "old@x.test";
            t(r.text);
            QCOMPARE(t.c().From, r.from);
            QCOMPARE(t.c().Address, r.to);
        }
    }

    // What the session stores for taro and hanako: nothing before QUIT, every file before
    // the goodbye, each message for the recipients of its own transaction.
    void stored_data()
    {
        QTest::addColumn<Lines>("pieces");
        QTest::addColumn<Lines>("taro");
        QTest::addColumn<Lines>("hanako");
        QTest::newRow("19 bytes in pieces") << Lines{Env, "DATA\r\n", "Subject: x\r\n", "hello\r\n", ".\r\n"} << Lines{"Subject: x\r\nhello\r\n"} << Lines{};
        QTest::newRow("DATA and text in one buffer") << Lines{Env + "DATA\r\nSubject: x\r\nhello\r\n.\r\n"} << Lines{"Subject: x\r\nhello\r\n"} << Lines{};
        QTest::newRow("dot-stuffed lines kept") << Lines{Env + "DATA\r\n", "..leading\r\n.. \r\n...\r\n", ".\r\n"} << Lines{"..leading\r\n.. \r\n...\r\n"} << Lines{};
        QTest::newRow("commands in the text") << Lines{Env + "DATA\r\n", "QUIT\r\n", "MAIL FROM:<z@z.test>\r\n.\r\n"} << Lines{"QUIT\r\nMAIL FROM:<z@z.test>\r\n"} << Lines{};
        QTest::newRow("dot not alone on its line") << Lines{Env + "DATA\r\n", "a.\r\n", "b\r\n.x\r\n\r\n.\r\n"} << Lines{"a.\r\nb\r\n.x\r\n\r\n"} << Lines{};
        QTest::newRow("envelope, no DATA") << Lines{Env} << Lines{} << Lines{};
        QTest::newRow("recipient after the message") << Lines{"RCPT TO:<hanako@example.test>\r\nDATA\r\nhi\r\n.\r\nRCPT TO:<taro@example.test>\r\n"} << Lines{} << Lines{"hi\r\n"};
        QTest::newRow("recipient three times") << Lines{Env + Env + Env + "DATA\r\nhi\r\n.\r\n"} << Lines(3, "hi\r\n") << Lines{};
        QTest::newRow("two messages") << Lines{Env + "DATA\r\none\r\n.\r\n", "RCPT TO:<hanako@example.test>\r\nDATA\r\ntwo\r\n.\r\n"} << Lines{"one\r\n"} << Lines{"two\r\n"};
    }
    void stored()
    {
        QFETCH(Lines, pieces);
        QFETCH(Lines, taro);
        QFETCH(Lines, hanako);
        Smtp t;
        for (const QByteArray& p : pieces) t(p);
        QCOMPARE(t.counts(), (QList<int>{0, 0}));
        QList<int> atGoodbye;
        t.s.onReply = [&](qint16, const QByteArray& text) { if (text == Bye) atGoodbye = t.counts(); };
        t("QUIT\r\n");
        QCOMPARE(t.s.LastReply(), Bye);
        QCOMPARE(t.c().Step(), int(Closing));
        QCOMPARE(t.contents("taro"), taro);
        QCOMPARE(t.contents("hanako"), hanako);
        QCOMPARE(atGoodbye, t.counts());
        for (const QString& n : t.pf.Files("Users/taro") + t.pf.Files("Users/hanako"))
            QVERIFY2(QRegularExpression("^\\d{6}-\\d{8}\\.eml$").match(n).hasMatch(), qPrintable(n));
    }

    // Only a folder directly under Users is a mailbox: nothing is written elsewhere, each
    // refused address is logged, and the good recipient after them is still served.
    void unsafeLocalParts()
    {
        ProgramFolder root;   // root/prog is the program folder; root/x and root/prog are what a careless path reaches
        const QString prog = root.Path("prog");
        QDir(root.dir.path()).mkpath("prog/Users/taro");
        QDir(root.dir.path()).mkpath("x");
        root.Write("prog/Users.txt", "UserName,Password,MailID\n");
        root.Write("prog/DomainMX.txt", "Domain,MX,Priority\n");
        root.Write("prog/Users/plainfile", "");
        QVERIFY(QFile::link(root.Path("x"), prog + "/Users/link"));
        mdlCommon::SetProgramFolder(prog);
        const QSet<QString> before = Tree(root.dir.path());
        const Lines bad = {"../../x@example.test", "..@example.test", ".@example.test", "taro/../taro@example.test", "..\\x@example.test",
                           "link@example.test", "plainfile@example.test", "nobody@example.test", "taro @example.test", "@example.test", "example.test"};
        FakeServer s;
        s.Open(2, SmtpCommands);
        for (const QByteArray& a : bad) SmtpCommand(s, 2, "RCPT TO:<" + a + ">\r\n");
        SmtpCommand(s, 2, "RCPT TO:<taro@example.test>\r\nDATA\r\nhi\r\n.\r\nQUIT\r\n");
        QCOMPARE(s.LastReply(), Bye);
        const QStringList taro = QDir(prog + "/Users/taro").entryList(QDir::Files);
        QCOMPARE(taro.size(), 1);
        QCOMPARE(Tree(root.dir.path()) - QSet<QString>{prog + "/Users/taro/" + taro[0]}, before);
        for (const QByteArray& a : bad)
            QVERIFY2(s.log.contains("2-NoMailbox " + a), a.constData());
    }

    // Any other domain is relayed, the served one in other letters and its subdomains too.
    void foreignRecipient()
    {
        const struct { QByteArray address, domain; QString target; } rows[] = {
            {"taro@Example.test", "Example.test", "mx.self.test:25"},
            {"taro@mail.example.test", "mail.example.test", "mx.mail.test:25"},
            {"taro@b@example.test", "b@example.test", "mx.b.test:25"},
        };
        for (const auto& r : rows) {
            Smtp t("Domain,MX,Priority\nexample.test,mx.self.test, 10\nmail.example.test,mx.mail.test, 10\nb@example.test,mx.b.test, 10\n");
            t("RCPT TO:<" + r.address + ">\r\nDATA\r\nhi\r\n.\r\nQUIT\r\n");
            QCOMPARE(t.counts(), (QList<int>{0, 0}));
            QCOMPARE(t.s.Session(3)->Address, Lines{r.address});
            QVERIFY2(t.s.log.contains("3>Transfer " + r.domain), t.s.log.join('\n'));
            QCOMPARE(t.s.connects, (Connects{{3, r.target}}));
        }
    }

    // Recipients are served in RCPT order, one relay session each, with the envelope and
    // text of their own message: taro is stored before the relays start, hanako after
    // them, and the goodbye waits for both files, however long their writing takes.
    void recipientsInOrder()
    {
        for (const bool deferred : {false, true}) {
            Smtp t;
            const QString savedPort = mdlCommon::SmtpPort;
            mdlCommon::SmtpPort = "2525";   // the relay port does not follow it
            t.s.deferWrites = deferred;
            QList<QList<int>> atRelay;
            QList<int> atGoodbye;
            t.s.onAdd = [&] { atRelay << t.counts(); };
            t.s.onReply = [&](qint16, const QByteArray& text) { if (text == Bye) atGoodbye = t.counts(); };
            t("MAIL FROM:<one@here.test>\r\nRCPT TO:<taro@example.test>\r\nRCPT TO:<a@far.test>\r\nDATA\r\none\r\n.\r\n"
              "MAIL FROM:<two@here.test>\r\nRCPT TO:<b@far.test>\r\nRCPT TO:<hanako@example.test>\r\nDATA\r\ntwo\r\n.\r\nQUIT\r\n");
            if (deferred) {
                QVERIFY(atRelay.isEmpty());
                t("NOOP\r\n");   // nothing is answered while the files are written
                QCOMPARE(t.s.LastReply(), Taken);
                t.s.Drain();
            }
            mdlCommon::SmtpPort = savedPort;
            QCOMPARE(atRelay, (QList<QList<int>>{{1, 0}, {1, 0}}));
            QCOMPARE(atGoodbye, (QList<int>{1, 1}));
            QCOMPARE(t.s.LastReply(), Bye);
            QCOMPARE(t.s.connects, (Connects{{3, "mx.far.test:25"}, {4, "mx.far.test:25"}}));
            const Connecter &a = *t.s.Session(3), &b = *t.s.Session(4);
            QCOMPARE((Lines{a.From, a.Message, a.Address.value(0), b.From, b.Message, b.Address.value(0)}),
                     (Lines{"one@here.test", "one", "a@far.test", "two@here.test", "two", "b@far.test"}));
            QCOMPARE(a.Step(), int(RelayConnecting));
            QVERIFY(t.s.released.empty());
        }
    }
};

QTEST_GUILESS_MAIN(TestSmtp)
#include "test_smtp.moc"
