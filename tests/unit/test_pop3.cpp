// POP3 as a client sees it: the command handler and the mailbox session behind it,
// driven through the fake connection manager on a fresh program folder.
#include "TestSupport.h"
#include "pop3/Pop3Command.h"

#include <QRegularExpression>
#include <QtTest>

namespace {

const QByteArray Ok = "+OK all respons OK";
const QByteArray NotSupported = "-ERR 対応してません。";
const QByteArray Closed = "+OK Merivolant POP3 Closed";

const QByteArray Users = "UserName,Password,MailID\n"
                         "alice,secret,alice\n"
                         "quote,it's,alice\n"
                         "padded,pw,alice     \n"
                         "twin,same,bob\n"
                         "twin,same,alice\n"
                         "climber,x,../outside\n"
                         "slash,x,bob/sub\n"
                         "linked,x,link\n";

// Alice's three messages, in name order.
const QStringList Names = {"250101-10000000.eml", "250101-10000001.eml", "250101-10000002.eml"};
const QList<QByteArray> Bodies = {"Subject: one\r\n\r\nfirst\r\n",
                                  "Subject: two\r\n\r\n.a line with a dot\r\n",
                                  "Subject: three\r\n\r\nthe third and longest one\r\n"};

qint64 Total()
{
    qint64 n = 0;
    for (const QByteArray& b : Bodies) n += b.size();
    return n;
}

QByteArray StatOfAll() { return "+OK 3 " + QByteArray::number(Total()); }

// A program folder with the accounts above, Alice's mailbox, and places a bad MailID could reach.
class Pop3Fixture {
public:
    ProgramFolder pf{Users};
    FakeServer server;

    Pop3Fixture()
    {
        pf.Mailbox("alice");
        // Created newest first: the order on disk must not decide the numbering.
        for (int i = Names.size() - 1; i >= 0; --i)
            pf.Write("Users/alice/" + Names[i], Bodies[i]);
        pf.Write("Users/alice/250101-10000003.EML", "capital extension\r\n");
        pf.Write("Users/alice/notes.txt", "not mail\r\n");
        pf.Write("Users/alice/250101-09000000.del", "left marked by a vanished client\r\n");
        QFile::link("../../outside/250101-00000000.eml", pf.Path("Users/alice/250101-09999999.eml"));
        pf.Mailbox("bob");
        pf.Mailbox("bob/sub");
        pf.Write("Users/bob/sub/250101-00000000.eml", "below a mailbox\r\n");
        QDir(pf.dir.path()).mkpath("outside");
        pf.Write("outside/250101-00000000.eml", "outside the store\r\n");
        QFile::link(pf.Path("outside"), pf.Path("Users/link"));
        QVERIFY(QFileInfo(pf.Path("Users/alice/250101-09999999.eml")).isFile());
        server.Open(2, 5);
    }

    // One buffer as the connection manager hands it over; exactly one reply must come back.
    QByteArray Send(const QByteArray& text, qint16 index = 2)
    {
        const size_t before = server.sent.size();
        server.Session(index)->Command = text;
        Pop3Command(server, index, text);
        if (server.sent.size() != before + 1) {
            qWarning("%zu replies to %s", server.sent.size() - before, text.constData());
            return "<not one reply>";
        }
        if (!server.Session(index)->Command.isEmpty())
            return "<receive buffer not emptied>";
        return server.sent.back().second;
    }

    void Login(qint16 index = 2)
    {
        Send("USER alice\r\n", index);
        Send("PASS secret\r\n", index);
    }
};

bool IsFailureReply(const QByteArray& reply)
{
    static const QRegularExpression re(QStringLiteral("^-ERR \\d+:\\S.*$"), QRegularExpression::DotMatchesEverythingOption);
    return re.match(QString::fromUtf8(reply)).hasMatch();
}

}

class TestPop3 : public QObject {
    Q_OBJECT
private slots:
    void commandsBeforeLogin_data();
    void commandsBeforeLogin();
    void login_data();
    void login();
    void onlyFirstCommandOfBufferAnswered();
    void failedLoginAfterLogin();
    void markAndReset();
    void badMessageNumbers_data();
    void badMessageNumbers();
    void retrSendsFileBytes_data();
    void retrSendsFileBytes();
    void quit_data();
    void quit();
    void fileRenamedByOtherConnection();
    void mailboxFolderRemovedWhileLoggedIn();
};

void TestPop3::commandsBeforeLogin_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("reply");   // a reply ending in "..." only has to start with what precedes it
    QTest::newRow("USER") << QByteArray("USER alice\r\n") << Ok;
    QTest::newRow("PASS") << QByteArray("PASS secret\r\n") << Ok;
    QTest::newRow("NOOP") << QByteArray("NOOP\r\n") << QByteArray("+OK ");
    QTest::newRow("noop lower case") << QByteArray("noop\r\n") << QByteArray("+OK ");
    QTest::newRow("STAT") << QByteArray("STAT\r\n") << QByteArray("+OK 0 0");
    QTest::newRow("LIST") << QByteArray("LIST\r\n") << QByteArray("+OK 0 0\r\n.");
    QTest::newRow("LIST 1") << QByteArray("LIST 1\r\n") << QByteArray("+OK 0 0\r\n.");
    QTest::newRow("UIDL") << QByteArray("UIDL\r\n") << QByteArray("+OK 0 0\r\n.");
    QTest::newRow("DELE") << QByteArray("DELE 1\r\n") << QByteArray("+OK ");
    QTest::newRow("RSET") << QByteArray("RSET\r\n") << QByteArray("+OK Reset file count 0");
    QTest::newRow("RETR") << QByteArray("RETR 1\r\n") << QByteArray("-ERR ...");
    QTest::newRow("APOP") << QByteArray("APOP alice 0123456789abcdef\r\n") << NotSupported;
    QTest::newRow("AUTH") << QByteArray("AUTH PLAIN\r\n") << NotSupported;
    QTest::newRow("AUTH alone") << QByteArray("AUTH\r\n") << NotSupported;
    QTest::newRow("TOP n m") << QByteArray("TOP 1 10\r\n") << NotSupported;
    QTest::newRow("TOP alone") << QByteArray("TOP\r\n") << QByteArray("-ERR command error");
    QTest::newRow("LAST") << QByteArray("LAST\r\n") << NotSupported;
    QTest::newRow("CAPA") << QByteArray("CAPA\r\n") << QByteArray("-ERR command error");
    QTest::newRow("XTND") << QByteArray("XTND XMIT\r\n") << QByteArray("-ERR command error");
    QTest::newRow("empty line") << QByteArray("\r\n") << QByteArray("-ERR command error");
    QTest::newRow("short word") << QByteArray("NO\r\n") << QByteArray("-ERR command error");
    QTest::newRow("USER without argument") << QByteArray("USER\r\n") << QByteArray("-ERR ...");
    QTest::newRow("8-bit junk") << QByteArray("\xff\xfe\x00\x01\r\n", 6) << QByteArray("-ERR command error");
}

void TestPop3::commandsBeforeLogin()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, reply);
    Pop3Fixture f;
    const QByteArray got = f.Send(text);
    if (reply.endsWith("..."))
        QVERIFY2(IsFailureReply(got), got.constData());
    else
        QCOMPARE(got, reply);
    QCOMPARE(f.server.Session(2)->Step(), 5);
    QCOMPARE(f.pf.Files("Users/alice").size(), 7);   // nothing renamed or removed
}

void TestPop3::login_data()
{
    QTest::addColumn<QList<QByteArray>>("commands");
    QTest::addColumn<QByteArray>("stat");
    const QByteArray all = StatOfAll();
    const QByteArray none = "+OK 0 0";
    using L = QList<QByteArray>;
    QTest::newRow("USER then PASS") << L{"USER alice\r\n", "PASS secret\r\n"} << all;
    QTest::newRow("PASS then USER") << L{"PASS secret\r\n", "USER alice\r\n"} << all;
    QTest::newRow("lower-case words") << L{"user alice\r\n", "pass secret\r\n"} << all;
    QTest::newRow("USERX counts as USER") << L{"USERX alice\r\n", "PASS secret\r\n"} << all;
    QTest::newRow("user name keeps its case") << L{"USER Alice\r\n", "PASS secret\r\n"} << none;
    QTest::newRow("wrong password") << L{"USER alice\r\n", "PASS wrong\r\n"} << none;
    QTest::newRow("password with trailing blank") << L{"USER alice\r\n", "PASS secret \r\n"} << none;
    QTest::newRow("wrong then right password") << L{"USER alice\r\n", "PASS wrong\r\n", "PASS secret\r\n"} << all;
    QTest::newRow("injection") << L{"USER alice\r\n", "PASS ' or '1'='1\r\n"} << none;
    QTest::newRow("injection as user") << L{"USER ' or '1'='1' --\r\n", "PASS x\r\n"} << none;
    QTest::newRow("quote in password") << L{"USER quote\r\n", "PASS it's\r\n"} << all;
    QTest::newRow("MailID with trailing blanks") << L{"USER padded\r\n", "PASS pw\r\n"} << all;
    QTest::newRow("first matching row wins") << L{"USER twin\r\n", "PASS same\r\n"} << QByteArray("+OK 0 0");
    QTest::newRow("MailID leaving the store") << L{"USER climber\r\n", "PASS x\r\n"} << none;
    QTest::newRow("MailID with a slash") << L{"USER slash\r\n", "PASS x\r\n"} << none;
    QTest::newRow("mailbox is a symlink") << L{"USER linked\r\n", "PASS x\r\n"} << none;
}

void TestPop3::login()
{
    QFETCH(QList<QByteArray>, commands);
    QFETCH(QByteArray, stat);
    Pop3Fixture f;
    for (const QByteArray& c : commands)
        QCOMPARE(f.Send(c), Ok);   // a failed login is never told
    QCOMPARE(f.Send("STAT\r\n"), stat);
    if (stat == "+OK 0 0") {
        // Nothing from any folder: not Bob's (empty), not below it, not outside the store.
        QCOMPARE(f.Send("LIST\r\n"), QByteArray("+OK 0 0\r\n."));
        QVERIFY(IsFailureReply(f.Send("RETR 1\r\n")));
    }
}

void TestPop3::onlyFirstCommandOfBufferAnswered()
{
    Pop3Fixture f;
    QCOMPARE(f.Send("USER alice\r\nPASS secret\r\n"), Ok);
    QCOMPARE(f.Send("STAT\r\n"), QByteArray("+OK 0 0"));   // the PASS line was dropped
    QCOMPARE(f.Send("PASS secret\r\nSTAT\r\n"), Ok);
    QCOMPARE(f.Send("STAT\r\nQUIT\r\n"), StatOfAll());
    QCOMPARE(f.server.Session(2)->Step(), 5);              // the QUIT line was dropped
    QCOMPARE(f.Send("RETR 1\r\nRETR 2\r\n"), "+OK " + QByteArray::number(Bodies[0].size()) + " octets\r\n" + Bodies[0] + '.');
}

void TestPop3::failedLoginAfterLogin()
{
    Pop3Fixture f;
    f.Login();
    QCOMPARE(f.Send("PASS wrong\r\n"), Ok);
    QCOMPARE(f.Send("STAT\r\n"), QByteArray("+OK 0 0"));
    QCOMPARE(f.Send("UIDL\r\n"), QByteArray("+OK 0 0\r\n."));
    QCOMPARE(f.Send("DELE 1\r\n"), QByteArray("+OK "));
    QCOMPARE(f.pf.Files("Users/alice").size(), 7);
    // Logged out, a QUIT has no mailbox to purge.
    QCOMPARE(f.Send("QUIT\r\n"), Closed);
    QVERIFY(f.pf.Files("Users/alice").contains("250101-09000000.del"));
}

void TestPop3::markAndReset()
{
    Pop3Fixture f;
    f.Login();
    const auto size = [](int i) { return QByteArray::number(Bodies[i].size()); };
    const QByteArray list = StatOfAll() + "\r\n1 " + size(0) + "\r\n2 " + size(1) + "\r\n3 " + size(2) + "\r\n.";
    const QByteArray uidl = "+OK uidl command accepted.\r\n1 250101-10000000\r\n2 250101-10000001\r\n3 250101-10000002\r\n.";
    QCOMPARE(f.Send("LIST\r\n"), list);
    QCOMPARE(f.Send("UIDL\r\n"), uidl);

    QCOMPARE(f.Send("DELE 2\r\n"), QByteArray("+OK Deleted success."));
    QVERIFY(f.pf.Files("Users/alice").contains("250101-10000001.del"));
    const QByteArray twoLeft = "+OK 2 " + QByteArray::number(Total() - Bodies[1].size());
    QCOMPARE(f.Send("STAT\r\n"), twoLeft);
    QCOMPARE(f.Send("LIST\r\n"), twoLeft + "\r\n1 " + size(0) + "\r\n3 " + size(2) + "\r\n.");
    QCOMPARE(f.Send("LIST 2\r\n"), twoLeft + "\r\n1 " + size(0) + "\r\n3 " + size(2) + "\r\n.");
    QCOMPARE(f.Send("UIDL\r\n"), uidl);
    QCOMPARE(f.Send("RETR 2\r\n"), "+OK " + size(1) + " octets\r\n" + Bodies[1] + '.');

    QCOMPARE(f.Send("RSET\r\n"), QByteArray("+OK Reset file count 1"));
    QCOMPARE(f.Send("STAT\r\n"), StatOfAll());
    QCOMPARE(f.Send("LIST\r\n"), list);
    QCOMPARE(f.pf.Read("Users/alice/250101-10000001.eml"), Bodies[1]);

    QCOMPARE(f.Send("DELE 1\r\n"), QByteArray("+OK Deleted success."));
    QCOMPARE(f.Send("DELE 3\r\n"), QByteArray("+OK Deleted success."));
    QCOMPARE(f.Send("STAT\r\n"), "+OK 1 " + size(1));
    // Only this connection's marks come back, not the one left from before.
    QCOMPARE(f.Send("RSET\r\n"), QByteArray("+OK Reset file count 2"));
    QCOMPARE(f.Send("RSET\r\n"), QByteArray("+OK Reset file count 0"));
    QVERIFY(f.pf.Files("Users/alice").contains("250101-09000000.del"));
    QCOMPARE(f.Send("STAT\r\n"), StatOfAll());
}

void TestPop3::badMessageNumbers_data()
{
    QTest::addColumn<QByteArray>("text");
    for (const char* word : {"RETR", "DELE"}) {
        const QByteArray w = word;
        QTest::addRow("%s 0", word) << w + " 0\r\n";
        QTest::addRow("%s 99", word) << w + " 99\r\n";
        QTest::addRow("%s -1", word) << w + " -1\r\n";
        QTest::addRow("%s x", word) << w + " x\r\n";
        QTest::addRow("%s 1x", word) << w + " 1x\r\n";
        QTest::addRow("%s 70000", word) << w + " 70000\r\n";
        QTest::addRow("%s 4294967297", word) << w + " 4294967297\r\n";   // 1 once cut to 32 bits
        QTest::addRow("%s empty", word) << w + " \r\n";
        QTest::addRow("%s no argument", word) << w + "\r\n";
    }
}

void TestPop3::badMessageNumbers()
{
    QFETCH(QByteArray, text);
    Pop3Fixture f;
    f.Login();
    const QByteArray reply = f.Send(text);
    QVERIFY2(IsFailureReply(reply), reply.constData());
    QCOMPARE(f.Send("STAT\r\n"), StatOfAll());
    QCOMPARE(f.pf.Files("Users/alice").size(), 7);
}

void TestPop3::retrSendsFileBytes_data()
{
    QTest::addColumn<QByteArray>("content");
    QByteArray big = "Subject: big\r\n\r\n";
    while (big.size() < 1232) big += 'x';
    big += "\r\n";
    QTest::newRow("1234 bytes") << big;
    QTest::newRow("dot lines go out as stored") << QByteArray(".\r\n..\r\n.x\r\nend\r\n");
    static const char raw[] = "NUL \0 high \xff\xfe bare LF\n bare CR\r end\r\n";
    QTest::newRow("8-bit") << QByteArray(raw, sizeof raw - 1);
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("no final line end") << QByteArray("abc");
}

void TestPop3::retrSendsFileBytes()
{
    QFETCH(QByteArray, content);
    ProgramFolder pf(Users);
    pf.Mailbox("alice");
    pf.Write("Users/alice/250101-10000000.eml", content);
    FakeServer server;
    server.Open(2, 5);
    for (const QByteArray& c : {QByteArray("USER alice\r\n"), QByteArray("PASS secret\r\n"), QByteArray("STAT\r\n"),
                                QByteArray("LIST\r\n"), QByteArray("RETR 1\r\n"), QByteArray("RETR 1\r\n")})
        Pop3Command(server, 2, c);
    const QByteArray size = QByteArray::number(content.size());
    const QList<QByteArray> expected = {Ok, Ok, "+OK 1 " + size, "+OK 1 " + size + "\r\n1 " + size + "\r\n.",
                                        "+OK " + size + " octets\r\n" + content + '.',
                                        "+OK " + size + " octets\r\n" + content + '.'};
    QCOMPARE(server.RepliesTo(2), expected);
    QCOMPARE(pf.Read("Users/alice/250101-10000000.eml"), content);
}

void TestPop3::quit_data()
{
    QTest::addColumn<bool>("login");
    QTest::addColumn<QStringList>("left");
    const QStringList noise = {"250101-09999999.eml", "250101-10000003.EML", "notes.txt"};
    QTest::newRow("logged in") << true
                               << QStringList{"250101-08000000.del", "250101-10000000.eml", "250101-10000002.eml"} + noise;
    QTest::newRow("never logged in") << false
                                     << QStringList{"250101-08000000.del", "250101-09000000.del", "250101-10000000.eml",
                                                    "250101-10000001.eml", "250101-10000002.eml"} + noise;
}

void TestPop3::quit()
{
    QFETCH(bool, login);
    QFETCH(QStringList, left);
    Pop3Fixture f;
    // A mark the owner made read-only stays.
    f.pf.Write("Users/alice/250101-08000000.del", "read-only\r\n");
    QFile::setPermissions(f.pf.Path("Users/alice/250101-08000000.del"), QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther);
    if (login) {
        f.Login();
        QCOMPARE(f.Send("DELE 2\r\n"), QByteArray("+OK Deleted success."));
    }
    QCOMPARE(f.Send("QUITE\r\n"), Closed);
    QCOMPARE(f.server.Session(2)->Step(), 6);
    left.sort();
    QCOMPARE(f.pf.Files("Users/alice"), left);
}

void TestPop3::fileRenamedByOtherConnection()
{
    Pop3Fixture f;
    f.server.Open(3, 5);
    f.Login(2);
    f.Login(3);
    QCOMPARE(f.Send("DELE 1\r\n", 2), QByteArray("+OK Deleted success."));
    // Connection 3 still names the file by its old name.
    QVERIFY(IsFailureReply(f.Send("DELE 1\r\n", 3)));
    QVERIFY(IsFailureReply(f.Send("RETR 1\r\n", 3)));
    QVERIFY(IsFailureReply(f.Send("LIST\r\n", 3)));
    QCOMPARE(f.Send("RETR 3\r\n", 3), "+OK " + QByteArray::number(Bodies[2].size()) + " octets\r\n" + Bodies[2] + '.');
    QCOMPARE(f.Send("RSET\r\n", 3), QByteArray("+OK Reset file count 0"));
    QVERIFY(f.pf.Files("Users/alice").contains("250101-10000000.del"));

    // A QUIT on 3 purges every mark of the mailbox, 2's included.
    QCOMPARE(f.Send("QUIT\r\n", 3), Closed);
    QVERIFY(!f.pf.Files("Users/alice").contains("250101-10000000.del"));
    QVERIFY(IsFailureReply(f.Send("RSET\r\n", 2)));
    QCOMPARE(f.Send("STAT\r\n", 2), "+OK 2 " + QByteArray::number(Bodies[1].size() + Bodies[2].size()));
}

void TestPop3::mailboxFolderRemovedWhileLoggedIn()
{
    Pop3Fixture f;
    f.Login();
    QCOMPARE(f.Send("DELE 3\r\n"), QByteArray("+OK Deleted success."));
    QVERIFY(QDir(f.pf.Path("Users/alice")).removeRecursively());
    for (const QByteArray c : {"LIST\r\n", "RETR 1\r\n", "DELE 1\r\n", "RSET\r\n"}) {
        const QByteArray reply = f.Send(c);
        QVERIFY2(IsFailureReply(reply), (c + reply).constData());
    }
    QCOMPARE(f.Send("UIDL\r\n"), QByteArray("+OK uidl command accepted.\r\n1 250101-10000000\r\n2 250101-10000001\r\n3 250101-10000002\r\n."));
    QCOMPARE(f.Send("NOOP\r\n"), QByteArray("+OK "));
    QCOMPARE(f.Send("QUIT\r\n"), Closed);
    QVERIFY(!QFileInfo::exists(f.pf.Path("Users/alice")));
}

QTEST_GUILESS_MAIN(TestPop3)
#include "test_pop3.moc"
