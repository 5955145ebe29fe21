// POP3 as a client sees it: every reply of the command handler and the mailbox session
// behind it, driven through the fake connection manager on a fresh program folder.
#include "TestSupport.h"
#include "pop3/Pop3Command.h"

#include <QRegularExpression>

namespace {

const QByteArray Ok = "+OK all respons OK";
const QByteArray NotSupported = "-ERR 対応してません。";
const QByteArray CommandError = "-ERR command error";
const QByteArray Closed = "+OK Merivolant POP3 Closed";
const QByteArray Deleted = "+OK Deleted success.";
const QByteArray Empty = "+OK 0 0";

const QByteArray Users = "UserName,Password,MailID\nalice,secret,alice\nquote,it's,alice\npadded,pw,alice     \n"
                         "twin,same,bob\ntwin,same,alice\nclimber,x,../outside\nslash,x,bob/sub\nlinked,x,link\n";

// Alice's three messages, in name order; the mailbox also holds files that are no message.
// RETR sends a file's bytes as they are: dot lines unchanged, 8-bit, NUL, no final line end.
const char Third[] = "Subject: three\r\n\r\nNUL \0 high \xff\xfe bare LF\n bare CR\r no end";
const Lines Bodies = {"Subject: one\r\n\r\nfirst\r\n", "Subject: two\r\n\r\n.\r\n..\r\n.x\r\nend\r\n", QByteArray(Third, sizeof Third - 1)};
const QByteArray Uidl = "+OK uidl command accepted.\r\n1 250101-10000000\r\n2 250101-10000001\r\n3 250101-10000002\r\n.";

QByteArray Size(int i) { return QByteArray::number(Bodies[i].size()); }
QByteArray Stat(std::initializer_list<int> present)
{
    qint64 total = 0;
    for (int i : present) total += Bodies[i].size();
    return "+OK " + QByteArray::number(qsizetype(present.size())) + ' ' + QByteArray::number(total);
}
const QByteArray All = Stat({0, 1, 2});
QByteArray Retr(const QByteArray& content) { return "+OK " + QByteArray::number(content.size()) + " octets\r\n" + content + '.'; }

bool IsFailure(const QByteArray& reply)   // "-ERR " number ":" description
{
    return QRegularExpression("^-ERR \\d+:\\S", QRegularExpression::DotMatchesEverythingOption).match(QString::fromUtf8(reply)).hasMatch();
}

// The accounts above, Alice's mailbox, and places a bad MailID or a link could reach.
struct Pop3 {
    ProgramFolder pf{Users};
    FakeServer server;
    Pop3()
    {
        pf.Mailbox("alice");
        for (int i = 2; i >= 0; --i)   // newest first: the order on disk must not decide the numbers
            pf.Write("Users/alice/250101-1000000" + QString::number(i) + ".eml", Bodies[i]);
        pf.Write("Users/alice/250101-10000003.EML", "capital extension\r\n");
        pf.Write("Users/alice/notes.txt", "not mail\r\n");
        pf.Write("Users/alice/250101-09000000.del", "left marked by a vanished client\r\n");
        pf.Mailbox("bob/sub");
        pf.Write("Users/bob/sub/250101-00000000.eml", "below a mailbox\r\n");
        QDir(pf.dir.path()).mkpath("outside");
        pf.Write("outside/250101-00000000.eml", "outside the store\r\n");
        QFile::link(pf.Path("outside"), pf.Path("Users/link"));
        QFile::link("../../outside/250101-00000000.eml", pf.Path("Users/alice/250101-09999999.eml"));
        server.Open(2, Pop3Session);
    }
    // One buffer as the connection manager hands it over; exactly one reply must come back.
    QByteArray operator()(const QByteArray& text, qint16 index = 2)
    {
        const size_t before = server.sent.size();
        Gather(server, index, text, Pop3Command);
        if (server.sent.size() != before + 1) return "<not one reply>";
        if (!server.Session(index)->Command.isEmpty()) return "<receive buffer not emptied>";
        return server.sent.back().second;
    }
    void Login(qint16 index = 2)
    {
        (*this)("USER alice\r\n", index);
        (*this)("PASS secret\r\n", index);
    }
    int FileCount() const { return int(pf.Files("Users/alice").size()); }
};

}

class TestPop3 : public QObject {
    Q_OBJECT
private slots:
    void beforeLogin()
    {
        const QList<std::pair<QByteArray, QByteArray>> rows = {   // "" = "-ERR n:..."
            {"USER alice", Ok}, {"pass secret", Ok}, {"noop", "+OK "}, {"STAT", Empty}, {"LIST", Empty + "\r\n."}, {"LIST 1", ""}, {"UIDL 1", ""},
            {"UIDL", Empty + "\r\n."}, {"DELE 1", "+OK "}, {"RSET", "+OK Reset file count 0"}, {"RETR 1", ""}, {"USER", ""},
            {"APOP alice 0123456789abcdef", NotSupported}, {"AUTH PLAIN", NotSupported}, {"AUTH", NotSupported},
            {"TOP 1 10", ""}, {"LAST", NotSupported}, {"TOP", CommandError}, {"capa", "+OK\r\nUSER\r\nUIDL\r\nTOP\r\n."},
            {"XTND XMIT", CommandError}, {"", CommandError}, {"NO", CommandError}, {QByteArray("\xff\x00\x01", 3), CommandError}};
        for (const auto& [text, reply] : rows) {
            Pop3 p;
            const QByteArray got = p(text + "\r\n");
            QVERIFY2(reply.isEmpty() ? IsFailure(got) : got == reply, (text + " -> " + got).constData());
            QCOMPARE(p.server.Session(2)->Step(), int(Pop3Session));
            QCOMPARE(p.FileCount(), 7);   // nothing renamed or removed
        }
    }

    // USER and PASS always answer the same; a failed login shows as an empty mailbox.
    void login()
    {
        const QList<std::pair<Lines, bool>> rows = {
            {{"USER alice", "PASS secret"}, true}, {{"PASS secret", "USER alice"}, true}, {{"USER alice", "PASS wrong", "PASS secret"}, true},
            {{"USER quote", "PASS it's"}, true}, {{"USER padded", "PASS pw"}, true},   // MailID with trailing blanks
            {{"USER alice", "PASS wrong"}, false}, {{"USER alice", "PASS secret "}, false}, {{"USER alice", "PASS secret", "PASS wrong"}, false},
            {{"USER alice", "PASS ' or '1'='1"}, false}, {{"USER ' or '1'='1' --", "PASS x"}, false},
            {{"USER twin", "PASS same"}, false},   // the first matching row wins: Bob's empty box
            {{"USER climber", "PASS x"}, false}, {{"USER slash", "PASS x"}, false}, {{"USER linked", "PASS x"}, false}};   // ../outside, bob/sub, a link
        for (const auto& [commands, in] : rows) {
            Pop3 p;
            for (const QByteArray& c : commands)
                QCOMPARE(p(c + "\r\n"), Ok);
            QVERIFY2(p("STAT\r\n") == (in ? All : Empty), commands.join(", ").constData());
            if (!in) {   // nothing from Bob's folder, below it, or outside the store
                QCOMPARE(p("LIST\r\n"), Empty + "\r\n.");
                QCOMPARE(p("QUIT\r\n"), Closed);   // and no mark of Alice's is purged
                QCOMPARE(p.FileCount(), 7);
            }
        }
    }

    void listRetrDeleResetQuit()
    {
        Pop3 p;
        p.Login();
        const QByteArray list = All + "\r\n1 " + Size(0) + "\r\n2 " + Size(1) + "\r\n3 " + Size(2) + "\r\n.";
        QCOMPARE(p("LIST\r\n"), list);
        QCOMPARE(p("LIST 2\r\n"), "+OK 2 " + Size(1));
        QCOMPARE(p("UIDL\r\n"), Uidl);
        QCOMPARE(p("UIDL 3\r\n"), QByteArray("+OK 3 250101-10000002"));
        QCOMPARE(p("RETR 2\r\n"), Retr(Bodies[1]));   // a dot line goes out as stored
        // TOP: the head, the blank line and so many lines of the body, as stored.
        QCOMPARE(p("TOP 2 0\r\n"), QByteArray("+OK\r\nSubject: two\r\n\r\n."));
        QCOMPARE(p("TOP 2 2\r\n"), QByteArray("+OK\r\nSubject: two\r\n\r\n.\r\n..\r\n."));
        QCOMPARE(p("TOP 2 99\r\n"), Retr(Bodies[1]).replace("+OK " + Size(1) + " octets", "+OK"));
        QCOMPARE(p("TOP 3 9\r\n"), "+OK\r\n" + Bodies[2] + "\r\n.");   // a last line without its end gets one
        for (const char* bad : {"TOP 2\r\n", "TOP 2 -1\r\n", "TOP x 1\r\n", "TOP 4 1\r\n", "LIST 4\r\n", "UIDL 0\r\n"})
            QVERIFY2(IsFailure(p(bad)), bad);
        QCOMPARE(p("DELE 2\r\n"), Deleted);
        QVERIFY(p.pf.Files("Users/alice").contains("250101-10000001.del"));
        QCOMPARE(p("STAT\r\n"), Stat({0, 2}));
        QCOMPARE(p("LIST\r\n"), Stat({0, 2}) + "\r\n1 " + Size(0) + "\r\n3 " + Size(2) + "\r\n.");   // numbers do not shift
        QCOMPARE(p("UIDL\r\n"), Uidl);
        QCOMPARE(p("RETR 2\r\n"), Retr(Bodies[1]));   // a marked message can still be read
        for (const char* marked : {"DELE 2\r\n", "LIST 2\r\n", "UIDL 2\r\n", "TOP 2 0\r\n"})
            QVERIFY2(IsFailure(p(marked)), marked);
        QCOMPARE(p("RSET\r\n"), QByteArray("+OK Reset file count 1"));
        QCOMPARE(p("LIST\r\n"), list);
        QCOMPARE(p("DELE 1\r\n"), Deleted);
        QCOMPARE(p("DELE 3\r\n"), Deleted);
        QCOMPARE(p("STAT\r\n"), Stat({1}));
        // Only this connection's marks come back, not the one left from before.
        QCOMPARE(p("RSET\r\n"), QByteArray("+OK Reset file count 2"));
        QCOMPARE(p("RSET\r\n"), QByteArray("+OK Reset file count 0"));
        // QUIT removes what this session marked, not another's mark, nor read-only files.
        QCOMPARE(p("DELE 2\r\n"), Deleted);
        QCOMPARE(p("DELE 3\r\n"), Deleted);
        QFile::setPermissions(p.pf.Path("Users/alice/250101-10000002.del"), QFile::ReadOwner);
        QCOMPARE(p("QUITE\r\n"), Closed);
        QCOMPARE(p.server.Session(2)->Step(), int(Closing));
        p.server.sessions.clear();
        QCOMPARE(p.pf.Files("Users/alice"), (QStringList{"250101-09000000.del", "250101-09999999.eml", "250101-10000000.eml",
                                                         "250101-10000002.del", "250101-10000003.EML", "notes.txt"}));
    }

    // Marks are this session's own until QUIT: a session that ends without it takes them
    // back, and another session's QUIT leaves them alone.
    void marksBelongToTheirSession()
    {
        Pop3 p;
        p.server.Open(3, Pop3Session);
        p.Login(2);
        p.Login(3);
        QCOMPARE(p("DELE 1\r\n", 2), Deleted);
        QCOMPARE(p("DELE 2\r\n", 3), Deleted);
        // Connection 3 still names message 1 by its old name: it fails, the session goes on.
        for (const QByteArray c : {"DELE 1\r\n", "RETR 1\r\n", "LIST\r\n"})
            QVERIFY2(IsFailure(p(c, 3)), c.constData());
        QCOMPARE(p("QUIT\r\n", 3), Closed);
        QVERIFY(!p.pf.Files("Users/alice").contains("250101-10000001.del"));
        QCOMPARE(p("RSET\r\n", 2), QByteArray("+OK Reset file count 1"));
        QCOMPARE(p("DELE 3\r\n", 2), Deleted);
        p.server.sessions.erase(2);   // the connection drops without QUIT
        QCOMPARE(p.pf.Files("Users/alice"), (QStringList{"250101-09000000.del", "250101-09999999.eml", "250101-10000000.eml",
                                                         "250101-10000002.eml", "250101-10000003.EML", "notes.txt"}));
    }

    void badMessageNumbers()
    {
        Pop3 p;
        p.Login();
        for (const char* word : {"RETR", "DELE"})
            for (const char* arg : {" 0", " 4", " -1", " x", " 1x", " 70000", " 4294967297", " ", ""}) {
                const QByteArray reply = p(word + QByteArray(arg) + "\r\n");
                QVERIFY2(IsFailure(reply), (word + QByteArray(arg) + " -> " + reply).constData());
            }
        QCOMPARE(p("STAT\r\n"), All);
        QCOMPARE(p.FileCount(), 7);
    }

    void mailboxFolderRemovedWhileLoggedIn()
    {
        Pop3 p;
        p.Login();
        QCOMPARE(p("DELE 3\r\n"), Deleted);
        QVERIFY(QDir(p.pf.Path("Users/alice")).removeRecursively());
        for (const QByteArray c : {"LIST\r\n", "RETR 1\r\n", "DELE 1\r\n", "RSET\r\n"})
            QVERIFY2(IsFailure(p(c)), c.constData());
        QCOMPARE(p("UIDL\r\n"), Uidl);
        QCOMPARE(p("QUIT\r\n"), Closed);
        QVERIFY(!QFileInfo::exists(p.pf.Path("Users/alice")));
    }
};

QTEST_GUILESS_MAIN(TestPop3)
#include "test_pop3.moc"
