// The SMTP server side: replies, envelopes, message text, and what QUIT stores or relays.
#include "TestSupport.h"
#include "relay/DNS.h"
#include "smtp/SmtpCommand.h"

#include <QDirIterator>
#include <QRegularExpression>
#include <QSet>
#include <QtTest>
#include <functional>

using Lines = QList<QByteArray>;

namespace {

const QByteArray Ehlo = "250-mx.test.host\r\n250-VRFY\r\n250-ETRN\r\n250-8BITMIME\r\n250-PIPELINING\r\n"
                        "250-AUTH LONGIN PLAIN CRAM-MD5\r\n250 SIZE";
const QByteArray Go = "354 Start mail input; end with <CRLF>.<CRLF>";
const QByteArray Taken = "250 OK <SB>";
const QByteArray Bye = "221 Merivolant ESMTP Closed";

QString ScriptsDir()
{
    const QString d = qEnvironmentVariable("RELAY_TEST_SCRIPTS");
    return d.isEmpty() ? QFINDTESTDATA("scripts") : d;
}

// FakeServer that lets a test look at the store at the moment a session is added or a
// reply goes out.
class Watched : public FakeServer {
public:
    std::function<void(qint16)> onAdd;
    std::function<void(const QByteArray&)> onSend;
    void AddSession(qint16 i, std::unique_ptr<Connecter> s) override
    {
        if (onAdd) onAdd(i);
        FakeServer::AddSession(i, std::move(s));
    }
    void SendReply(qint16 i, const QByteArray& text) override
    {
        if (onSend) onSend(text);
        FakeServer::SendReply(i, text);
    }
    // When set, file writes wait until Drain(), as they do on the real server's workers.
    bool deferWrites = false;
    std::vector<std::pair<std::function<void()>, std::function<void()>>> pending;
    void RunDelivery(std::function<void()> work, std::function<void()> done) override
    {
        if (!deferWrites) return Server::RunDelivery(std::move(work), std::move(done));
        pending.emplace_back(std::move(work), std::move(done));
    }
    void Drain()
    {
        while (!pending.empty()) {
            auto [work, done] = std::move(pending.front());
            pending.erase(pending.begin());
            work();
            done();
        }
    }
};

// One inbound SMTP connection on index 2, with mailboxes taro and hanako.
struct Smtp {
    static constexpr qint16 In = 2;
    ProgramFolder pf;
    Watched s;
    explicit Smtp(const QByteArray& domainMx = "Domain,MX,Priority\n")
        : pf("UserName,Password,MailID\n", domainMx)
    {
        s.Open(In, 0);
        pf.Mailbox(QStringLiteral("taro"));
        pf.Mailbox(QStringLiteral("hanako"));
    }
    void operator()(const QByteArray& text) { SmtpCommand(s, In, text); }
    void operator()(const Lines& pieces)
    {
        for (const QByteArray& p : pieces) SmtpCommand(s, In, p);
    }
    Connecter& c() { return *s.Session(In); }
    Lines replies() const { return s.RepliesTo(In); }
    QStringList files(const QString& box) const { return pf.Files(QStringLiteral("Users/") + box); }
    QByteArray only(const QString& box) const
    {
        const QStringList f = files(box);
        return f.size() == 1 ? pf.Read(QStringLiteral("Users/") + box + QLatin1Char('/') + f[0]) : QByteArray("<not one file>");
    }
    // Log lines that are not replies.
    QStringList notes() const
    {
        QStringList r;
        for (const QByteArray& l : s.log)
            if (!l.startsWith(QByteArray::number(In) + '>')) r << QString::fromUtf8(l);
        return r;
    }
};

QSet<QString> Tree(const QString& root)
{
    QSet<QString> all;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) all << it.next();
    return all;
}

}

class TestSmtp : public QObject {
    Q_OBJECT
    QString savedDomain;

private slots:
    void initTestCase()
    {
        savedDomain = mdlCommon::ServerDomain;
        mdlCommon::ServerDomain = QStringLiteral("example.test");
    }
    void cleanupTestCase() { mdlCommon::ServerDomain = savedDomain; }

    void commands_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<int>("step");
        QTest::newRow("helo lower case") << QByteArray("helo client.test\r\n") << QByteArray("250 mx.test.host") << 3;
        QTest::newRow("HELO") << QByteArray("HELO client.test\r\n") << QByteArray("250 mx.test.host") << 3;
        QTest::newRow("EHLO") << QByteArray("EHLO client.test\r\n") << Ehlo << 4;
        QTest::newRow("ehlo lower case") << QByteArray("ehlo client.test\r\n") << Ehlo << 4;
        QTest::newRow("DATA") << QByteArray("DATA\r\n") << Go << 2;
        for (const char* word : {"NOOP", "RSET", "VRFY taro", "AUTH PLAIN", "HELP", "ETRN x", "QUI", ""})
            QTest::newRow(word) << QByteArray(word) + "\r\n" << QByteArray("500 Syntax error") << 0;
    }
    void commands()
    {
        QFETCH(QByteArray, line);
        QFETCH(QByteArray, reply);
        QFETCH(int, step);
        Smtp t;
        t(line);
        QCOMPARE(t.replies(), Lines{reply});
        QCOMPARE(t.c().Step(), step);
    }

    // The address is what stands between the first "<" and the next ">" of its own line.
    void addressTaken_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QByteArray>("from");
        QTest::addColumn<Lines>("to");
        QTest::newRow("MAIL with SIZE") << QByteArray("MAIL FROM:<a@here.test> SIZE=1234\r\n") << QByteArray("a@here.test") << Lines{};
        QTest::newRow("mail lower case") << QByteArray("mail from:<a@here.test>\r\n") << QByteArray("a@here.test") << Lines{};
        QTest::newRow("null sender") << QByteArray("MAIL FROM:<>\r\n") << QByteArray("") << Lines{};
        QTest::newRow("RCPT without MAIL") << QByteArray("RCPT TO:<taro@example.test>\r\n") << QByteArray("old@x.test") << Lines{"taro@example.test"};
        QTest::newRow("RCPT twice") << QByteArray("RCPT TO:<b@far.test>\r\nRCPT TO:<b@far.test>\r\n") << QByteArray("old@x.test")
                                    << Lines{"b@far.test", "b@far.test"};
    }
    void addressTaken()
    {
        QFETCH(QByteArray, line);
        QFETCH(QByteArray, from);
        QFETCH(Lines, to);
        Smtp t;
        t.c().From = "old@x.test";
        t(line);
        for (const QByteArray& r : t.replies())
            QCOMPARE(r, QByteArray("250 OK"));
        QCOMPARE(t.c().From, from);
        QCOMPARE(t.c().Address, to);
        QCOMPARE(t.c().Step(), 0);
    }

    void badAddress_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::newRow("MAIL without brackets") << QByteArray("MAIL FROM: a@here.test\r\n");
        QTest::newRow("MAIL without >") << QByteArray("MAIL FROM:<a@here.test\r\n");
        QTest::newRow("RCPT without brackets") << QByteArray("RCPT TO: taro@example.test\r\n");
        QTest::newRow("RCPT without >") << QByteArray("RCPT TO:<taro@example.test\r\n");
    }
    void badAddress()
    {
        QFETCH(QByteArray, line);
        Smtp t;
        t("EHLO c\r\n");
        t("MAIL FROM:<old@x.test>\r\n");
        // The next line's ">" must not complete the broken address.
        t(line + "RCPT TO:<hanako@example.test>\r\n");
        const Lines r = t.replies();
        QCOMPARE(r.size(), 4);
        QVERIFY2(QRegularExpression(QStringLiteral("^500 Syntax error;\\d+:\\S.*$")).match(QString::fromUtf8(r[2])).hasMatch(), r[2]);
        QCOMPARE(r[3], QByteArray("250 OK"));
        QCOMPARE(t.c().From, QByteArray("old@x.test"));
        QCOMPARE(t.c().Address, Lines{"hanako@example.test"});
        QCOMPARE(t.c().Step(), 4);
        t("HELO c\r\n");
        QCOMPARE(t.s.LastReply(), QByteArray("250 mx.test.host"));
    }

    // Message text as it arrives, and the file that QUIT makes of it.
    void messageText_data()
    {
        QTest::addColumn<Lines>("pieces");
        QTest::addColumn<QByteArray>("stored");
        QTest::newRow("several pieces") << Lines{"DATA\r\n", "Subject: x\r\n", "hello\r\n", ".\r\n"} << QByteArray("Subject: x\r\nhello\r\n");
        QTest::newRow("with DATA in one buffer") << Lines{"DATA\r\nSubject: x\r\nhello\r\n.\r\n"} << QByteArray("Subject: x\r\nhello\r\n");
        QTest::newRow("dot-stuffed lines kept") << Lines{"DATA\r\n", "..leading\r\n.. \r\n...\r\n", ".\r\n"}
                                                << QByteArray("..leading\r\n.. \r\n...\r\n");
        QTest::newRow("QUIT and MAIL are text") << Lines{"DATA\r\n", "QUIT\r\n", "MAIL FROM:<z@z.test>\r\n.\r\n"}
                                                << QByteArray("QUIT\r\nMAIL FROM:<z@z.test>\r\n");
        QTest::newRow("dot not at line start") << Lines{"DATA\r\n", "a.\r\n", "b\r\n.x\r\n.\r\n"} << QByteArray("a.\r\nb\r\n.x\r\n");
        QTest::newRow("blank line before end") << Lines{"DATA\r\n", "Subject: x\r\n\r\n", ".\r\n"} << QByteArray("Subject: x\r\n\r\n");
        QTest::newRow("long text") << Lines{"DATA\r\n", QByteArray("0123456789").repeated(1000) + "\r\n", ".\r\n"}
                                   << QByteArray("0123456789").repeated(1000) + "\r\n";
    }
    void messageText()
    {
        QFETCH(Lines, pieces);
        QFETCH(QByteArray, stored);
        Smtp t;
        t("MAIL FROM:<a@here.test>\r\nRCPT TO:<taro@example.test>\r\n");
        t(pieces);
        QCOMPARE(t.replies().mid(2), (Lines{Go, Taken}));
        QCOMPARE(t.c().Step(), 0);
        QVERIFY(t.files(QStringLiteral("taro")).isEmpty());   // nothing is stored before QUIT
        t("QUIT\r\n");
        QCOMPARE(t.only(QStringLiteral("taro")), stored);
    }

    // Lines that arrive together are answered one by one, in order.
    void pipelining_data()
    {
        QTest::addColumn<QByteArray>("buffer");
        QTest::addColumn<Lines>("replies");
        QTest::addColumn<int>("step");
        QTest::addColumn<int>("taroFiles");
        QTest::newRow("whole session")
            << QByteArray("EHLO c\r\nMAIL FROM:<a@here.test> SIZE=20\r\nRCPT TO:<taro@example.test>\r\nDATA\r\n"
                          "Subject: p\r\n\r\nbody\r\n.\r\nQUIT\r\n")
            << Lines{Ehlo, "250 OK", "250 OK", Go, Taken, Bye} << 6 << 1;
        QTest::newRow("text after DATA")
            << QByteArray("MAIL FROM:<a@here.test>\r\nDATA\r\nHELO c\r\nRCPT TO:<x@y.test>\r\n")
            << Lines{"250 OK", Go} << 2 << 0;
        QTest::newRow("commands after end of data")
            << QByteArray("DATA\r\nbody\r\n.\r\nNOOP\r\nHELO c\r\n")
            << Lines{Go, Taken, "500 Syntax error", "250 mx.test.host"} << 3 << 0;
        QTest::newRow("nothing after QUIT") << QByteArray("QUIT\r\nHELO c\r\n") << Lines{Bye} << 6 << 0;
    }
    void pipelining()
    {
        QFETCH(QByteArray, buffer);
        QFETCH(Lines, replies);
        QFETCH(int, step);
        QFETCH(int, taroFiles);
        Smtp t;
        t(buffer);
        QCOMPARE(t.replies(), replies);
        QCOMPARE(t.c().Step(), step);
        QCOMPARE(t.files(QStringLiteral("taro")).size(), taroFiles);
    }

    void severalMessagesKeepTheirEnvelopes()
    {
        Smtp t("Domain,MX,Priority\nfar.test,mx.far.test, 10\n");
        t("HELO c\r\nMAIL FROM:<one@here.test>\r\nRCPT TO:<taro@example.test>\r\nDATA\r\nSubject: one\r\n.\r\n");
        t("MAIL FROM:<two@here.test>\r\nRCPT TO:<hanako@example.test>\r\nRCPT TO:<b@far.test>\r\nDATA\r\n");
        t("Subject: two\r\n.\r\n");
        t("RCPT TO:<taro@example.test>\r\n");   // a third transaction that never sends its text
        t("QUIT\r\n");
        QCOMPARE(t.only(QStringLiteral("taro")), QByteArray("Subject: one\r\n"));
        QCOMPARE(t.only(QStringLiteral("hanako")), QByteArray("Subject: two\r\n"));
        QCOMPARE(t.s.sessions.size(), size_t(2));
        Connecter* relay = t.s.Session(3);
        QVERIFY(relay);
        QCOMPARE(relay->From, QByteArray("two@here.test"));
        QCOMPARE(relay->Message, QByteArray("Subject: two"));
        QCOMPARE(relay->Address, Lines{"b@far.test"});
    }

    void quitStoresBeforeGoodbye()
    {
        Smtp t;
        int filesAtGoodbye = -1;
        t.s.onSend = [&](const QByteArray& text) {
            if (text == Bye) filesAtGoodbye = int(t.files(QStringLiteral("taro")).size());
        };
        t("MAIL FROM:<a@here.test>\r\nRCPT TO:<taro@example.test>\r\nDATA\r\nSubject: x\r\nhello\r\n.\r\n");
        t("QUIT\r\n");
        QCOMPARE(t.s.LastReply(), Bye);
        QCOMPARE(t.c().Step(), 6);
        QCOMPARE(filesAtGoodbye, 1);
        const QStringList names = t.files(QStringLiteral("taro"));
        QCOMPARE(names.size(), 1);   // no temporary file left beside it
        QVERIFY2(QRegularExpression(QStringLiteral("^\\d{6}-\\d{8}\\.eml$")).match(names[0]).hasMatch(), qPrintable(names[0]));
        const QByteArray content = t.only(QStringLiteral("taro"));
        QCOMPARE(content.size(), 19);
        QCOMPARE(content, QByteArray("Subject: x\r\nhello\r\n"));
    }

    void quitWithoutMessage_data()
    {
        QTest::addColumn<Lines>("pieces");
        QTest::addColumn<int>("taroFiles");
        QTest::addColumn<int>("hanakoFiles");
        QTest::newRow("QUIT at once") << Lines{"QUIT\r\n"} << 0 << 0;
        QTest::newRow("envelope, no DATA") << Lines{"MAIL FROM:<a@here.test>\r\n", "RCPT TO:<taro@example.test>\r\n", "QUIT\r\n"} << 0 << 0;
        QTest::newRow("recipient after the message")
            << Lines{"RCPT TO:<hanako@example.test>\r\nDATA\r\nhi\r\n.\r\n", "RCPT TO:<taro@example.test>\r\n", "QUIT\r\n"} << 0 << 1;
    }
    void quitWithoutMessage()
    {
        QFETCH(Lines, pieces);
        QFETCH(int, taroFiles);
        QFETCH(int, hanakoFiles);
        Smtp t;
        t(pieces);
        QCOMPARE(t.s.LastReply(), Bye);
        QCOMPARE(t.c().Step(), 6);
        QCOMPARE(t.files(QStringLiteral("taro")).size(), taroFiles);
        QCOMPARE(t.files(QStringLiteral("hanako")).size(), hanakoFiles);
        QCOMPARE(t.s.sessions.size(), size_t(1));
    }

    void sameRecipientTwiceGetsTwoFiles()
    {
        Smtp t;
        t("RCPT TO:<taro@example.test>\r\nRCPT TO:<taro@example.test>\r\nRCPT TO:<taro@example.test>\r\n");
        t("DATA\r\nSubject: x\r\nhello\r\n.\r\nQUIT\r\n");
        const QStringList names = t.files(QStringLiteral("taro"));
        QCOMPARE(names.size(), 3);
        for (const QString& n : names) {
            QCOMPARE(n.size(), 19);
            QCOMPARE(t.pf.Read(QStringLiteral("Users/taro/") + n), QByteArray("Subject: x\r\nhello\r\n"));
        }
    }

    // Only a folder directly under Users is a mailbox; nothing is written elsewhere.
    void unsafeLocalPart_data()
    {
        QTest::addColumn<QByteArray>("address");
        QTest::newRow("climbs out") << QByteArray("../../x@example.test");
        QTest::newRow("parent") << QByteArray("..@example.test");
        QTest::newRow("self") << QByteArray(".@example.test");
        QTest::newRow("slash") << QByteArray("taro/../taro@example.test");
        QTest::newRow("backslash") << QByteArray("..\\x@example.test");
        QTest::newRow("symbolic link") << QByteArray("link@example.test");
        QTest::newRow("plain file") << QByteArray("plainfile@example.test");
        QTest::newRow("no such folder") << QByteArray("nobody@example.test");
        QTest::newRow("empty local part") << QByteArray("@example.test");
        QTest::newRow("no @") << QByteArray("example.test");
    }
    void unsafeLocalPart()
    {
        QFETCH(QByteArray, address);
        // root/prog is the program folder; root/x and root/prog itself are the targets a
        // careless path would reach.
        ProgramFolder root;
        const QString prog = root.Path(QStringLiteral("prog"));
        QDir(root.dir.path()).mkpath(QStringLiteral("prog/Users/taro"));
        QDir(root.dir.path()).mkpath(QStringLiteral("x"));
        root.Write(QStringLiteral("prog/Users.txt"), "UserName,Password,MailID\n");
        root.Write(QStringLiteral("prog/DomainMX.txt"), "Domain,MX,Priority\n");
        root.Write(QStringLiteral("prog/Users/plainfile"), "");
        QVERIFY(QFile::link(root.Path(QStringLiteral("x")), prog + QStringLiteral("/Users/link")));
        mdlCommon::SetProgramFolder(prog);
        const QSet<QString> before = Tree(root.dir.path());

        Watched s;
        s.Open(2, 0);
        SmtpCommand(s, 2, "RCPT TO:<" + address + ">\r\nRCPT TO:<taro@example.test>\r\nDATA\r\nhi\r\n.\r\nQUIT\r\n");

        QCOMPARE(s.LastReply(), Bye);
        const QStringList taro = QDir(prog + QStringLiteral("/Users/taro")).entryList(QDir::Files);
        QCOMPARE(taro.size(), 1);   // the good recipient after it is still served
        QSet<QString> after = Tree(root.dir.path());
        after.remove(prog + QStringLiteral("/Users/taro/") + taro[0]);
        QCOMPARE(after, before);
        bool noted = false;
        for (const QByteArray& l : s.log)
            noted |= l.startsWith('2') && !l.startsWith("2>") && l.contains(address);
        QVERIFY2(noted, s.log.join('\n'));
    }

    void foreignRecipient_data()
    {
        QTest::addColumn<QByteArray>("address");
        QTest::addColumn<QByteArray>("domain");
        QTest::addColumn<QString>("target");
        QTest::newRow("domain in other case") << QByteArray("taro@Example.test") << QByteArray("Example.test") << "mx.self.test:25";
        QTest::newRow("subdomain") << QByteArray("taro@mail.example.test") << QByteArray("mail.example.test") << "mx.mail.test:25";
        QTest::newRow("two @") << QByteArray("taro@b@example.test") << QByteArray("b@example.test") << "mx.b.test:25";
        QTest::newRow("other domain") << QByteArray("taro@far.test") << QByteArray("far.test") << "mx.far.test:25";
    }
    void foreignRecipient()
    {
        QFETCH(QByteArray, address);
        QFETCH(QByteArray, domain);
        QFETCH(QString, target);
        Smtp t("Domain,MX,Priority\nexample.test,mx.self.test, 10\nmail.example.test,mx.mail.test, 10\n"
               "b@example.test,mx.b.test, 10\nfar.test,mx.far.test, 10\n");
        const QString savedPort = mdlCommon::SmtpPort;
        mdlCommon::SmtpPort = QStringLiteral("2525");   // the relay port does not follow it
        t("MAIL FROM:<a@here.test>\r\nRCPT TO:<" + address + ">\r\nDATA\r\nhi\r\n.\r\nQUIT\r\n");
        mdlCommon::SmtpPort = savedPort;
        QVERIFY(t.files(QStringLiteral("taro")).isEmpty());
        Connecter* relay = t.s.Session(3);
        QVERIFY(relay);
        QCOMPARE(relay->Step(), 7);
        QCOMPARE(relay->Address, Lines{address});
        QVERIFY2(t.s.log.contains("3>Transfer " + domain), t.s.log.join('\n'));
        QCOMPARE(t.s.connects.size(), size_t(1));
        QCOMPARE(t.s.connects[0], std::make_pair(qint16(3), target));
        QCOMPARE(t.s.LastReply(), Bye);
    }

    // One relay session per foreign recipient, also when they share a domain.
    void relaySessions()
    {
        Smtp t("Domain,MX,Priority\nfar.test,mx.far.test, 10\nother.test,mx.other.test, 10\n");
        t("MAIL FROM:<sender@here.test>\r\nRCPT TO:<a@far.test>\r\nRCPT TO:<b@far.test>\r\nRCPT TO:<c@other.test>\r\n");
        t("DATA\r\nSubject: x\r\nhello\r\n.\r\nQUIT\r\n");
        const Lines to{"a@far.test", "b@far.test", "c@other.test"};
        for (qint16 i = 3; i <= 5; ++i) {
            Connecter* r = t.s.Session(i);
            QVERIFY(r);
            QCOMPARE(r->Step(), 7);
            QCOMPARE(r->From, QByteArray("sender@here.test"));
            QCOMPARE(r->Message, QByteArray("Subject: x\r\nhello"));
            QCOMPARE(r->Address, Lines{to[i - 3]});
        }
        const QStringList transfers = t.notes().filter(QStringLiteral("Transfer"));
        QCOMPARE(transfers, (QStringList{"3>Transfer far.test", "4>Transfer far.test", "5>Transfer other.test"}));
        const std::vector<std::pair<qint16, QString>> connects{
            {3, "mx.far.test:25"}, {4, "mx.far.test:25"}, {5, "mx.other.test:25"}};
        QCOMPARE(t.s.connects, connects);
        QVERIFY(t.s.released.empty());
    }

    // Recipients are served in RCPT order: taro is stored before the relay starts,
    // hanako after it, and the goodbye waits for both files.
    void localForeignLocalInOrder_data()
    {
        QTest::addColumn<bool>("deferred");
        QTest::newRow("files written at once") << false;
        QTest::newRow("files written later") << true;
    }
    void localForeignLocalInOrder()
    {
        QFETCH(bool, deferred);
        Smtp t("Domain,MX,Priority\nfar.test,mx.far.test, 10\n");
        t.s.deferWrites = deferred;
        QList<int> atRelay, atGoodbye;
        auto count = [&] {
            return QList<int>{int(t.files(QStringLiteral("taro")).size()), int(t.files(QStringLiteral("hanako")).size())};
        };
        t.s.onAdd = [&](qint16) { atRelay = count(); };
        t.s.onSend = [&](const QByteArray& text) { if (text == Bye) atGoodbye = count(); };
        t("RCPT TO:<taro@example.test>\r\nRCPT TO:<b@far.test>\r\nRCPT TO:<hanako@example.test>\r\n");
        t("DATA\r\nhi\r\n.\r\nQUIT\r\n");
        if (deferred) {
            QVERIFY(atRelay.isEmpty());
            t("NOOP\r\n");   // nothing is answered while the files are written
            QCOMPARE(t.s.LastReply(), Taken);
            t.s.Drain();
        }
        QCOMPARE(atRelay, (QList<int>{1, 0}));
        QCOMPARE(atGoodbye, (QList<int>{1, 1}));
        QCOMPARE(t.s.LastReply(), Bye);
        QCOMPARE(t.c().Step(), 6);
        QVERIFY(t.s.log.contains("3>Transfer far.test"));
        QCOMPARE(t.s.Session(3)->Step(), 7);
    }

    // No exchanger, or a table that cannot be read: the relay is logged and let go, the
    // other recipients are still served.
    void relayWithoutExchanger_data()
    {
        QTest::addColumn<bool>("tableMissing");
        QTest::newRow("lookup finds nothing") << false;
        QTest::newRow("table file missing") << true;
    }
    void relayWithoutExchanger()
    {
        QFETCH(bool, tableMissing);
        Smtp t;
        QVERIFY(QFile::copy(ScriptsDir() + QStringLiteral("/getmx-fixture.sh"), t.pf.Path(QStringLiteral("GetMX.sh"))));
        if (tableMissing)
            QVERIFY(QFile::remove(t.pf.Path(QStringLiteral("DomainMX.txt"))));
        const int savedWait = TheDNS().OpenTimeoutMs;
        TheDNS().OpenTimeoutMs = 2000;
        t("RCPT TO:<b@silent.test>\r\nRCPT TO:<taro@example.test>\r\nDATA\r\nhi\r\n.\r\nQUIT\r\n");
        TheDNS().OpenTimeoutMs = savedWait;
        QCOMPARE(t.s.released, std::vector<qint16>{3});
        QVERIFY(!t.s.Session(3));
        QVERIFY(t.s.connects.empty());
        QCOMPARE(t.notes().filter(QStringLiteral("b@silent.test")).size(), 1);
        QCOMPARE(t.files(QStringLiteral("taro")).size(), 1);
        QCOMPARE(t.s.LastReply(), Bye);
    }
};

QTEST_GUILESS_MAIN(TestSmtp)
#include "test_smtp.moc"
