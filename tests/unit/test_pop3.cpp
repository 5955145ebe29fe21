// POP3 as a client sees it, played as dialogues on connections 2 and 3 against Alice's
// mailbox; after each, every session ends (without QUIT unless the rows say it) and the
// files left in the mailbox are compared.
#include "TestSupport.h"
#include "pop3/Pop3Session.h"
#include "pop3/Pop3Command.h"

namespace {

const QByteArray Ok = "S: +OK all respons OK", Closed = "S: +OK Merivolant POP3 Closed", Deleted = "S: +OK Deleted success.",
                 Empty = "S: +OK 0 0", NotSupported = "S: -ERR 対応してません。", CommandError = "S: -ERR command error",
                 OutOfRange = "S: -ERR 9:*", BadNumber = "S: -ERR 13:*", BadArgument = "S: -ERR 5:*";
const Lines Login = {"C: USER alice", Ok, "C: PASS secret", Ok};

// Alice's three messages as rows show them ("\n" for CR LF); RETR must send the bytes as
// stored: dot lines, 8-bit, NUL, a bare CR, no final line end.
const char Third[] = "Subject: three\n\nNUL \0 high \xff\xfe bare CR\r no end";
const Lines Bodies = {"Subject: one\n\nfirst\n", "Subject: two\n\n.\n..\n.x\nend\n", QByteArray(Third, sizeof Third - 1)};
QByteArray Size(int i) { return QByteArray::number(Bodies[i].size() + Bodies[i].count('\n')); }
QByteArray Stat(const QList<int>& present)
{
    qint64 total = 0;
    for (int i : present) total += Size(i).toLongLong();
    return "S: +OK " + QByteArray::number(present.size()) + ' ' + QByteArray::number(total);
}
QByteArray List(const QList<int>& present)
{
    QByteArray r = Stat(present);
    for (int i : present) r += '\n' + QByteArray::number(i + 1) + ' ' + Size(i);
    return r + "\n.";
}
QByteArray Retr(int i) { return "S: +OK " + Size(i) + " octets\n" + Bodies[i] + '.'; }
const QByteArray Uidl = "S: +OK uidl command accepted.\n1 250101-10000000\n2 250101-10000001\n3 250101-10000002\n.";
QByteArray Gone(int n) { return "S: -ERR 53:Message " + QByteArray::number(n) + " is gone (removed by another session)"; }
Lines Try(const QByteArray& user, const QByteArray& password, bool in)
{
    return {"C: USER " + user, Ok, "C: PASS " + password, Ok, "C: STAT", in ? Stat({0, 1, 2}) : Empty};
}
// A message whose head and first lines span several reads of the file ("\n" for CR LF).
QByteArray Long(int lines)
{
    QByteArray text = "Subject: long\n\n";
    for (int i = 0; i < lines; ++i) text += "line " + QByteArray::number(i) + " of a message longer than one read\n";
    return text;
}
const QStringList Unchanged = {"250101-09000000.del", "250101-09999999.eml", "250101-10000000.eml", "250101-10000001.eml",
                               "250101-10000002.eml", "250101-10000003.EML", "notes.txt"};

}

class TestPop3 : public QObject {
    Q_OBJECT
private slots:
    void dialogue_data()
    {
        QTest::addColumn<Lines>("script");
        QTest::addColumn<QStringList>("left");
        QTest::newRow("before login") << Lines{"C: noop", "S: +OK ", "C: STAT", Empty, "C: LIST", Empty + "\n.", "C: LIST 1", OutOfRange,
            "C: UIDL 1", OutOfRange, "C: UIDL", Empty + "\n.", "C: DELE 1", "S: +OK ", "C: RSET", "S: +OK Reset file count 0", "C: RETR 1", OutOfRange,
            "C: USER", BadArgument, "C: APOP alice 0123456789abcdef", NotSupported, "C: AUTH PLAIN", NotSupported, "C: LAST", NotSupported,
            "C: TOP 1 10", OutOfRange, "C: TOP", CommandError, "C: capa", "S: +OK\nUSER\nUIDL\nTOP\nPIPELINING\n.", "C: NO", CommandError,
            QByteArray("C: \xff\x00\x01", 6), CommandError} << Unchanged;
        // USER and PASS always answer the same; a failed login shows as an empty mailbox.
        QTest::newRow("logins") << Lines{"C: PASS secret", Ok, "C: USER alice", Ok, "C: STAT", Stat({0, 1, 2})} + Try("alice", "wrong", false)
            + Try("quote", "it's", true) + Try("alice", "wrong", false) + Try("padded", "pw", true) << Unchanged;
        QTest::newRow("failed logins") << Try("alice", "secret ", false) + Try("alice", "' or '1'='1", false) + Try("' or '1'='1' --", "x", false)
            + Try("twin", "same", false)                                                            // the first row wins: Bob's empty box
            + Try("climber", "x", false) + Try("slash", "x", false) + Try("linked", "x", false)    // ../outside, bob/sub, a link
            + Lines{"C: LIST", Empty + "\n.", "C: QUIT", Closed} << Unchanged;
        QTest::newRow("list, read, mark, reset, quit") << Login + Lines{"C: LIST", List({0, 1, 2}), "C: LIST 2", "S: +OK 2 " + Size(1),
            "C: UIDL", Uidl, "C: UIDL 3", "S: +OK 3 250101-10000002", "C: RETR 2", Retr(1),
            // TOP: the head, the blank line and so many lines of the body; a last line without its end gets one.
            "C: TOP 2 0", "S: +OK\nSubject: two\n\n.", "C: TOP 2 2", "S: +OK\nSubject: two\n\n.\n..\n.", "C: TOP 2 99", "S: +OK\n" + Bodies[1] + '.',
            "C: TOP 3 9", "S: +OK\n" + Bodies[2] + "\n.", "C: TOP 2", BadArgument, "C: TOP 2 -1", BadArgument, "C: TOP 4 1", OutOfRange, "C: LIST 4", OutOfRange,
            "C: UIDL 0", OutOfRange, "C: DELE 2", Deleted, "C: STAT", Stat({0, 2}), "C: LIST", List({0, 2}), "C: UIDL", Uidl, "C: RETR 2", Retr(1),
            "C: DELE 2", OutOfRange, "C: LIST 2", OutOfRange, "C: UIDL 2", OutOfRange, "C: TOP 2 0", OutOfRange,
            "C: RSET", "S: +OK Reset file count 1", "C: LIST", List({0, 1, 2}), "C: DELE 1", Deleted, "C: DELE 3", Deleted, "C: STAT", Stat({1}),
            "C: RSET", "S: +OK Reset file count 2", "C: RSET", "S: +OK Reset file count 0",   // not the mark left from before
            // QUIT removes this session's marks, but not another's mark nor a read-only file.
            "C: DELE 2", Deleted, "C: DELE 3", Deleted, "C: (read-only) 250101-10000002.del", "C: QUITE", Closed}
            << QStringList{"250101-09000000.del", "250101-09999999.eml", "250101-10000000.eml", "250101-10000002.del", "250101-10000003.EML", "notes.txt"};
        // Connection 3 still lists message 1, which connection 2 marked: what needs its file
        // fails for it alone, without the system's words, and the rest goes on as listed; its
        // QUIT removes only its own mark, and connection 2, dropped, takes its marks back.
        QTest::newRow("marks belong to their session") << Login + Lines{"C3: USER alice", Ok, "C3: PASS secret", Ok, "C: DELE 1", Deleted, "C3: DELE 2", Deleted,
            "C3: DELE 1", Gone(1), "C3: RETR 1", Gone(1), "C3: TOP 1 0", Gone(1), "C3: LIST", List({0, 2}), "C3: LIST 1", "S: +OK 1 " + Size(0),
            "C3: STAT", Stat({0, 2}), "C3: UIDL", Uidl, "C3: RETR 3", Retr(2), "C: RETR 2", "S: -ERR 53:*", "C: LIST", List({1, 2}), "C: UIDL 2", "S: +OK 2 250101-10000001",
            "C3: QUIT", Closed, "C: RSET", "S: +OK Reset file count 1", "C: DELE 3", Deleted}
            << QStringList{"250101-09000000.del", "250101-09999999.eml", "250101-10000000.eml", "250101-10000002.eml", "250101-10000003.EML", "notes.txt"};
        // What another session's QUIT removed is gone for good; the rest is read and marked as ever.
        QTest::newRow("removed by another session") << Login + Lines{"C3: USER alice", Ok, "C3: PASS secret", Ok, "C3: DELE 1", Deleted, "C3: QUIT", Closed,
            "C: STAT", Stat({0, 1, 2}), "C: LIST", List({0, 1, 2}), "C: UIDL", Uidl, "C: DELE 1", Gone(1), "C: RETR 1", Gone(1), "C: RETR 2", Retr(1),
            "C: DELE 2", Deleted, "C: STAT", Stat({0, 2}), "C: QUIT", Closed}
            << QStringList{"250101-09000000.del", "250101-09999999.eml", "250101-10000002.eml", "250101-10000003.EML", "notes.txt"};
        QTest::newRow("bad message numbers") << Login + Lines{"C: RETR 0", OutOfRange, "C: DELE 4", OutOfRange, "C: RETR -1", OutOfRange, "C: DELE x", BadNumber,
            "C: RETR 1x", BadNumber, "C: DELE 70000", "S: -ERR 6:*", "C: RETR 4294967297", "S: -ERR 6:*", "C: DELE ", "S: -ERR *", "C: RETR", "S: -ERR *",
            "C: STAT", Stat({0, 1, 2})} << Unchanged;
        // Another program adds and removes messages between two logins: the second sees them.
        QTest::newRow("changed behind the server's back") << Login + Lines{"C: STAT", Stat({0, 1, 2}), "C: (write) 250101-10000009.eml",
            "C: (remove) 250101-10000000.eml", "C: STAT", Stat({0, 1, 2}), "C: USER alice", Ok, "C: PASS secret", Ok,
            "C: STAT", "S: +OK 3 " + QByteArray::number(Size(1).toInt() + Size(2).toInt() + 5), "C: UIDL 3", "S: +OK 3 250101-10000009"}
            << QStringList{"250101-09000000.del", "250101-09999999.eml", "250101-10000001.eml", "250101-10000002.eml", "250101-10000003.EML",
                           "250101-10000009.eml", "notes.txt"};
        QTest::newRow("TOP past the first read") << Lines{"C: (write) 250101-10000009.eml 1000"} + Login + Lines{"C: TOP 4 900", "S: +OK\n" + Long(900) + '.',
            "C: TOP 4 150", "S: +OK\n" + Long(150) + '.', "C: TOP 4 3", "S: +OK\n" + Long(3) + '.'} << QStringList{"250101-09000000.del", "250101-09999999.eml", "250101-10000000.eml", "250101-10000001.eml", "250101-10000002.eml",
                                                                                  "250101-10000003.EML", "250101-10000009.eml", "notes.txt"};
        QTest::newRow("mailbox removed while logged in") << Login + Lines{"C: DELE 3", Deleted, "C: (rmdir)", "C: LIST", List({0, 1}), "C: RETR 1", "S: -ERR *",
            "C: DELE 1", "S: -ERR *", "C: RSET", "S: -ERR *", "C: UIDL", Uidl, "C: QUIT", Closed} << QStringList{};
    }
    void dialogue()
    {
        QFETCH(Lines, script);
        QFETCH(QStringList, left);
        ProgramFolder pf("UserName,Password,MailID\nalice,secret,alice\nquote,it's,alice\npadded,pw,alice     \n"
                         "twin,same,bob\ntwin,same,alice\nclimber,x,../outside\nslash,x,bob/sub\nlinked,x,link\n");
        for (int i = 2; i >= 0; --i)   // newest first: the order on disk must not decide the numbers
            pf.Write("Users/alice/250101-1000000" + QString::number(i) + ".eml", QByteArray(Bodies[i]).replace("\n", "\r\n"));
        pf.Write("Users/alice/250101-10000003.EML", "capital extension\r\n");
        pf.Write("Users/alice/notes.txt", "not mail\r\n");
        pf.Write("Users/alice/250101-09000000.del", "left marked by a vanished client\r\n");
        pf.Write("Users/bob/sub/250101-00000000.eml", "below a mailbox\r\n");
        pf.Write("outside/250101-00000000.eml", "outside the store\r\n");
        QFile::link(pf.Path("outside"), pf.Path("Users/link"));
        QFile::link("../../outside/250101-00000000.eml", pf.Path("Users/alice/250101-09999999.eml"));
        FakeServer s;
        s.Open<Pop3Session>(2, Pop3Step::Session);
        s.Open<Pop3Session>(3, Pop3Step::Session);
        Play(s, 2, script, [&](qint16 i, const QByteArray& b) {
            if (b.startsWith("(read-only) ")) QFile::setPermissions(pf.Path("Users/alice/" + b.mid(12).trimmed()), QFile::ReadOwner);
            else if (b.startsWith("(rmdir)")) QDir(pf.Path("Users/alice")).removeRecursively();
            else if (b.startsWith("(write) ")) {
                const QList<QByteArray> words = b.mid(8).trimmed().split(' ');   // name, and lines of a long one
                pf.Write("Users/alice/" + words[0], words.size() > 1 ? Long(words[1].toInt()).replace("\n", "\r\n") : "new\r\n");
            }
            else if (b.startsWith("(remove) ")) QFile::remove(pf.Path("Users/alice/" + b.mid(9).trimmed()));
            else Gather(s, i, b, Pop3Command);
            QVERIFY(s.Session(i)->Command.isEmpty());
        });
        s.sessions.clear();
        QCOMPARE(pf.Files("Users/alice"), left);
    }
};

QTEST_GUILESS_MAIN(TestPop3)
#include "test_pop3.moc"
