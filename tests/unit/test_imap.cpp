// IMAP as a client sees it: the command syntax as the parser reads it, sequence sets, and
// dialogues on connections 2 and 3 against Alice's mailbox, without a socket.
#include "TestSupport.h"
#include "imap/ImapCommand.h"
#include "imap/ImapParser.h"
#include "imap/ImapSession.h"
#include "store/MailboxIndex.h"

namespace {

using namespace Imap;

// A parsed argument as the rows write it: atoms bare, strings quoted, lists in parentheses.
QByteArray Shown(const Arg& a)
{
    if (a.kind == Arg::String)
        return '"' + a.text + '"';
    if (a.kind != Arg::List)
        return a.kind == Arg::Nil ? "NIL" : a.text;
    QByteArrayList items;
    for (const Arg& i : a.items) items << Shown(i);
    return '(' + items.join(' ') + ')';
}

const QByteArray Caps = "IMAP4rev2 IMAP4rev1 AUTH=PLAIN SASL-IR LITERAL+ ENABLE IDLE NAMESPACE ID UIDPLUS MOVE UNSELECT CHILDREN "
                        "SPECIAL-USE LIST-EXTENDED LIST-STATUS ESEARCH SEARCHRES CONDSTORE QRESYNC BINARY UTF8=ACCEPT";
const QByteArray After = "IMAP4rev2 IMAP4rev1 LITERAL+ ENABLE IDLE NAMESPACE ID UIDPLUS MOVE UNSELECT CHILDREN "
                         "SPECIAL-USE LIST-EXTENDED LIST-STATUS ESEARCH SEARCHRES CONDSTORE QRESYNC BINARY UTF8=ACCEPT";
const Lines Login = {"C: a LOGIN alice secret", "S: a OK [CAPABILITY " + After + "] Logged in"};
// SELECT of Alice's INBOX with `exists` messages, the next UID `next`, on connection `c`.
Lines Selected(const QByteArray& c, int exists, int next, const QByteArray& verb = "SELECT", const QByteArray& tag = "s")
{
    const QByteArray S = c == "C" ? "S: " : "S" + c.mid(1) + ": ";
    return {c + ": " + tag + ' ' + verb + " INBOX", S + "* FLAGS (\\Answered \\Flagged \\Deleted \\Seen \\Draft)",
            S + "* OK [PERMANENTFLAGS (\\Answered \\Flagged \\Deleted \\Seen \\Draft \\*)] Flags permitted",
            S + "* " + QByteArray::number(exists) + " EXISTS", S + "* 0 RECENT", S + "* OK [UIDVALIDITY *",
            S + "* OK [UIDNEXT " + QByteArray::number(next) + "] Predicted next UID", S + "* OK [HIGHESTMODSEQ *",
            S + tag + (verb == "SELECT" ? " OK [READ-WRITE] SELECT completed" : " OK [READ-ONLY] EXAMINE completed")};
}

}

class TestImap : public QObject {
    Q_OBJECT
private slots:
    void parse_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QByteArray>("parsed");
        QTest::newRow("atoms, strings, NIL") << QByteArray("a1 login \"al \\\"x\\\\\" nil") << QByteArray("a1 LOGIN \"al \"x\\\" NIL");
        QTest::newRow("uid joined") << QByteArray("t uid fetch 1:* (FLAGS)") << QByteArray("t UID FETCH 1:* (FLAGS)");
        QTest::newRow("section one atom") << QByteArray("t FETCH 1 (BODY.PEEK[HEADER.FIELDS (FROM TO)]<0.10> UID)")
                                          << QByteArray("t FETCH 1 (BODY.PEEK[HEADER.FIELDS (FROM TO)]<0.10> UID)");
        QTest::newRow("literals") << QByteArray("t LOGIN {3}\r\na b ~{2+}\r\n\r\n") << QByteArray("t LOGIN \"a b\" \"\r\n\"");
        QTest::newRow("nested lists, flags") << QByteArray("t STORE 1 +FLAGS (\\Seen (x ()) $Junk)") << QByteArray("t STORE 1 +FLAGS (\\Seen (x ()) $Junk)");
        QTest::newRow("bad escape") << QByteArray("t LOGIN \"a\\b\" c") << QByteArray("t BAD Bad escape in quoted string");
        QTest::newRow("unended quote") << QByteArray("t LOGIN \"abc") << QByteArray("t BAD Unterminated quoted string");
        QTest::newRow("unended list") << QByteArray("t X (a b") << QByteArray("t BAD Missing or malformed argument");
        QTest::newRow("unended section") << QByteArray("t FETCH 1 BODY[TEXT") << QByteArray("t BAD Unterminated [");
        QTest::newRow("too deep") << "t X " + QByteArray(MaxDepth + 1, '(') + QByteArray(MaxDepth + 1, ')') << QByteArray("t BAD Lists nested too deep");
        QTest::newRow("no tag") << QByteArray("+x NOOP") << QByteArray(" BAD Missing or malformed tag");
        QTest::newRow("8-bit atom") << QByteArray("t NOOP \xff") << QByteArray("t BAD Missing or malformed argument");
        QTest::newRow("short literal") << QByteArray("t LOGIN {9}\r\nab") << QByteArray("t BAD Malformed literal");
        QTest::newRow("UTF-8 quoted") << QByteArray("t LOGIN \"Jos\xc3\xa9\" x") << QByteArray("t LOGIN \"Jos\xc3\xa9\" x");
        QTest::newRow("broken UTF-8 quoted") << QByteArray("t LOGIN \"\xc3(\" x") << QByteArray("t BAD Invalid UTF-8 in quoted string");
    }
    void parse()
    {
        QFETCH(QByteArray, line);
        QFETCH(QByteArray, parsed);
        QByteArray tag, error;
        const auto c = ParseCommand(line + "\r\n", &tag, &error);
        QByteArrayList words{tag + ' ' + (c ? c->name : "BAD " + error)};
        for (const Arg& a : c ? c->args : std::vector<Arg>{}) words << Shown(a);
        QCOMPARE(words.join(' '), parsed);
    }

    void sequenceSets_data()
    {
        QTest::addColumn<QByteArray>("set");
        QTest::addColumn<QByteArray>("ranges");   // with "*" as 10
        QTest::newRow("merged, sorted") << QByteArray("7,1:3,4,9:8") << QByteArray("1-4 7-9");
        QTest::newRow("star") << QByteArray("*:5,12:*") << QByteArray("5-12");
        QTest::newRow("largest number") << QByteArray("1:4294967295") << QByteArray("1-4294967295");
        for (const char* bad : {"0", "1:0", "", "1,", "a", "4294967296", "1::2", "-1", "1:2:3", "$", "$,1"})
            QTest::newRow(bad) << QByteArray(bad) << QByteArray("invalid");
    }
    void sequenceSets()
    {
        QFETCH(QByteArray, set);
        QFETCH(QByteArray, ranges);
        const auto parsed = SequenceSet::Parse(set);
        QByteArrayList shown;
        for (const auto& [a, b] : parsed ? parsed->Ranges(10) : std::vector<std::pair<quint32, quint32>>{})
            shown << QByteArray::number(a) + '-' + QByteArray::number(b);
        QCOMPARE(parsed ? shown.join(' ') : QByteArray("invalid"), ranges);
        for (quint32 n = 1; parsed && n <= 13; ++n)   // Contains agrees with Ranges
            QCOMPARE(parsed->Contains(n, 10), std::any_of(shown.begin(), shown.end(), [n](const QByteArray& r) {
                return n >= r.split('-')[0].toUInt() && n <= r.split('-')[1].toUInt(); }));
    }

    // A name as sent, without and with UTF-8 enabled, as stored, and as the same client reads it back.
    void mailboxNames_data()
    {
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<bool>("utf8");
        QTest::addColumn<QString>("stored");   // "invalid": refused
        QTest::addColumn<QByteArray>("shown");
        QTest::newRow("modified UTF-7") << QByteArray("INBOX/M&AOQ-rz &ZeVnLIqe-") << false << QString("INBOX/März 日本語") << QByteArray("INBOX/M&AOQ-rz &ZeVnLIqe-");
        QTest::newRow("ampersand, surrogates") << QByteArray("A&-B&2D3eAA-") << false << QString("A&B😀") << QByteArray("A&-B&2D3eAA-");
        QTest::newRow("8-bit taken as UTF-8") << QByteArray("Caf\xc3\xa9") << false << QString("Café") << QByteArray("Caf&AOk-");
        QTest::newRow("UTF-8 enabled") << QByteArray("M&AOQ-rz \xc3\xa9") << true << QString("M&AOQ-rz é") << QByteArray("M&AOQ-rz \xc3\xa9");
        for (const char* bad : {"&AC4ALg-", "a/&AC8-b", "&AOQ", "&2D0-", "&AO-", "&*-", "\xff"})
            QTest::newRow(bad) << QByteArray(bad) << false << QString("invalid") << QByteArray();
        QTest::newRow("NFD enabled") << QByteArray("Ma\xcc\x88rz") << true << QString("März") << QByteArray("M\xc3\xa4rz");
        QTest::newRow("NFD in modified UTF-7") << QByteArray("Ma&Awg-rz") << false << QString("März") << QByteArray("M&AOQ-rz");
        QTest::newRow("broken UTF-8 enabled") << QByteArray("\xc3(") << true << QString("invalid") << QByteArray();
    }
    void mailboxNames()
    {
        QFETCH(QByteArray, sent); QFETCH(bool, utf8); QFETCH(QString, stored); QFETCH(QByteArray, shown);
        const auto name = MailboxName(sent, utf8);
        QCOMPARE(name.value_or("invalid"), stored);
        if (name)
            QCOMPARE(MailboxText(*name, utf8), shown);
    }

    void dialogue_data()
    {
        QTest::addColumn<Lines>("script");
        QTest::newRow("before login") << Lines{"C: a CAPABILITY", "S: * CAPABILITY " + Caps, "S: a OK CAPABILITY completed",
            "C: b NOOP", "S: b OK NOOP completed", "C: c CHECK", "S: c BAD Command not valid in this state",
            "C: d FROB", "S: d BAD Unknown command", "C: e STARTTLS", "S: e BAD STARTTLS not available", "C: ", "S: * BAD Empty command line",
            "C: f ID NIL", "S: * ID (\"name\" \"Tandrivel\")", "S: f OK ID completed", "C: g ENABLE CONDSTORE", "S: g BAD Command not valid in this state",
            "C: h LOGOUT", "S: * BYE Logging out", "S: h OK LOGOUT completed"};
        const QByteArray failed = "NO [AUTHENTICATIONFAILED] Invalid credentials";
        QTest::newRow("logins") << Lines{"C: a LOGIN alice wrong", "S: a " + failed, "C: b LOGIN alice", "S: b BAD LOGIN wants a user name and a password",
            "C: c AUTHENTICATE PLAIN " + QByteArray("\0alice\0wrong", 12).toBase64(), "S: c " + failed,
            "C: d AUTHENTICATE CRAM-MD5", "S: d NO Unsupported authentication mechanism",
            "C: e AUTHENTICATE PLAIN", "S: + ", "C: *", "S: e BAD AUTHENTICATE cancelled",
            "C: f AUTHENTICATE PLAIN", "S: + ", "C: !!", "S: f BAD Malformed PLAIN response",
            "C: g AUTHENTICATE PLAIN " + QByteArray("bob\0alice\0secret", 16).toBase64(), "S: g " + failed,
            "C: h AUTHENTICATE PLAIN", "S: + ", "C: " + QByteArray("\0alice\0secret", 13).toBase64(), "S: h OK [CAPABILITY " + After + "] Logged in",
            "C: i LOGIN alice secret", "S: i BAD Command not valid in this state", "C: j ENABLE QRESYNC x", "S: * ENABLED CONDSTORE QRESYNC",
            "S: j OK ENABLE completed", "C: k ENABLE CONDSTORE", "S: * ENABLED", "S: k OK ENABLE completed",
            "C: l NAMESPACE", "S: * NAMESPACE ((\"\" \"/\")) NIL NIL", "S: l OK NAMESPACE completed"};
        // Literals: one the client waits for, one it does not, one too large, and pipelining.
        QTest::newRow("literals") << Lines{"C: a LOGIN {5}", "S: + Ready for literal", "C: alice {6+}\nsecret\nb NOOP",
            "S: a OK [CAPABILITY " + After + "] Logged in", "S: b OK NOOP completed",
            "C: c ID {300000000}", "S: c NO [TOOBIG] Literal too large", "C: d IDLE", "S: + idling", "C: done", "S: d OK IDLE terminated",
            "C: e NOOP {300000000+}", "S: * BYE Literal too large"};
        // Reading sets \\Seen; another session hears of flags at its next command and of expunges
        // only where sequence numbers cannot shift under the client (never during FETCH). A run
        // of untagged responses is one reply (one log line).
        QTest::newRow("read, flag, search, expunge") << Login + Selected("C", 2, 3) + Lines{"C3: a LOGIN alice secret", "S3: a OK *"}
            + Selected("C3", 2, 3, "EXAMINE") + Lines{"C: f FETCH 1:4294967295 (UID RFC822.SIZE)", "S: * 1 FETCH (UID 1 RFC822.SIZE 23)\n* 2 FETCH (UID 2 RFC822.SIZE 27)",
            "S: f OK FETCH completed", "C: g FETCH 2 BODY[TEXT]", "S: * 2 FETCH (BODY[TEXT] {11}\n.\nsecond\n FLAGS (\\Seen))",
            "S: g OK FETCH completed", "C3: b STORE 1 +FLAGS x", "S3: * 2 FETCH (FLAGS (\\Seen))", "S3: b NO [READ-ONLY] Mailbox is read-only",
            "C3: c NOOP", "S3: c OK NOOP completed",
            "C: h STORE 1:2 +FLAGS (\\Deleted $Later)",
            "S: * 1 FETCH (FLAGS (\\Deleted $Later))\n* 2 FETCH (FLAGS (\\Seen \\Deleted $Later))", "S: h OK STORE completed", "C: i UID SEARCH DELETED KEYWORD $later", "S: * SEARCH 1 2", "S: i OK UID SEARCH completed",
            "C: j UID EXPUNGE 2", "S: * 2 EXPUNGE", "S: j OK [HIGHESTMODSEQ *", "C3: d FETCH 2 (UID)", "S3: * 1 FETCH (FLAGS (\\Deleted $Later))", "S3: d OK FETCH completed",
            "C: k STORE 1 FLAGS ()", "S: * 1 FETCH (FLAGS ())", "S: k OK STORE completed", "C3: e CHECK", "S3: * 2 EXPUNGE\n* 1 FETCH (FLAGS ())", "S3: e OK CHECK completed",
            "C: l FETCH x FLAGS", "S: l BAD Malformed sequence set", "C: m CLOSE", "S: m OK CLOSE completed", "C: n FETCH 1 UID", "S: n BAD Command not valid in this state"};
        QTest::newRow("condstore, qresync") << Login + Lines{"C: b ENABLE QRESYNC", "S: * ENABLED CONDSTORE QRESYNC", "S: b OK ENABLE completed"}
            + Selected("C", 2, 3) + Lines{"C: c STORE 1:2 (UNCHANGEDSINCE 0) +FLAGS x", "S: c OK [MODIFIED 1:2] STORE completed",
            "C: d UID STORE 2 +FLAGS.SILENT \\Deleted", "S: d OK UID STORE completed", "C: e EXPUNGE", "S: * VANISHED 2", "S: e OK [HIGHESTMODSEQ *"};
        // "$": what SAVE keeps (only MIN and MAX when asked alone), expunges leaving it, a failed
        // SEARCH and SELECT emptying it.
        const Lines reselect = Selected("C", 1, 3).mid(0, 1) + Lines{"S: * OK [CLOSED] Previous mailbox closed"} + Selected("C", 1, 3).mid(1);
        QTest::newRow("saved search") << Login + Selected("C", 2, 3) + Lines{"C: a SEARCH RETURN (SAVE) UNSEEN", "S: a OK SEARCH completed",
            "C: b FETCH $ (UID)", "S: * 1 FETCH (UID 1)\n* 2 FETCH (UID 2)", "S: b OK FETCH completed",
            "C: c SEARCH RETURN (SAVE MAX) $", "S: * ESEARCH (TAG \"c\") MAX 2", "S: c OK SEARCH completed",
            "C: d UID SEARCH UID $ NOT $", "S: * SEARCH", "S: d OK UID SEARCH completed", "C: e UID SEARCH UID $", "S: * SEARCH 2", "S: e OK UID SEARCH completed",
            "C: f STORE $ +FLAGS.SILENT \\Deleted", "S: f OK STORE completed", "C: g EXPUNGE", "S: * 2 EXPUNGE", "S: g OK [HIGHESTMODSEQ *",
            "C: h FETCH $ UID", "S: h OK FETCH completed", "C: i SEARCH RETURN (SAVE ALL) 1", "S: * ESEARCH (TAG \"i\") ALL 1", "S: i OK SEARCH completed",
            "C: j SEARCH RETURN (SAVE) FROB", "S: j BAD Invalid SEARCH key", "C: k UID FETCH $ UID", "S: k OK UID FETCH completed",
            "C: l SEARCH RETURN (SAVE) ALL", "S: l OK SEARCH completed"} + reselect + Lines{"C: m COPY $ Junk", "S: m OK COPY completed"};
        // SELECT with what the client knew: VANISHED (EARLIER) only of the UIDs it lists, and none
        // below a sequence number that still has its UID.
        Lines resync = Selected("C", 3, 6);
        resync = resync.mid(0, 8) + Lines{"S: * VANISHED (EARLIER) 4\n* 3 FETCH (UID 5 FLAGS () MODSEQ (*"} + resync.mid(8);
        resync[0] += " (QRESYNC ($VALIDITY 3 (1:2 2:3)))";
        QTest::newRow("qresync known") << Login + Lines{"C: a SELECT INBOX (QRESYNC (1 1))", "S: a BAD QRESYNC wants ENABLE QRESYNC, a UIDVALIDITY, a mod-sequence and known UIDs",
            "C: b ENABLE QRESYNC", "S: * ENABLED CONDSTORE QRESYNC", "S: b OK ENABLE completed"} + Selected("C", 2, 3)
            + Lines{"C: c APPEND INBOX {1+}\nx", "S: * 3 EXISTS", "S: c OK [APPENDUID *", "C: d APPEND INBOX {1+}\ny", "S: * 4 EXISTS", "S: d OK [APPENDUID *",
            "C: e APPEND INBOX {1+}\nz", "S: * 5 EXISTS", "S: e OK [APPENDUID *", "C: f UID STORE 1,4 +FLAGS.SILENT \\Deleted", "S: f OK UID STORE completed",
            "C: g EXPUNGE", "S: * VANISHED 1,4", "S: g OK [HIGHESTMODSEQ *", "C: h SELECT INBOX (QRESYNC (1 1 1:5 (1:2 2)))", "S: * OK [CLOSED] Previous mailbox closed",
            "S: h BAD QRESYNC wants ENABLE QRESYNC, a UIDVALIDITY, a mod-sequence and known UIDs", "C: i FETCH 1 UID (CHANGEDSINCE 1 VANISHED)",
            "S: i BAD Command not valid in this state"} + resync + Lines{"C: j FETCH 1 (UID) (CHANGEDSINCE 1 VANISHED)", "S: j BAD VANISHED wants UID FETCH and QRESYNC",
            "C: k UID FETCH 2:* (UID) (CHANGEDSINCE 3 VANISHED)", "S: * VANISHED (EARLIER) 4", "S: * 3 FETCH (UID 5 MODSEQ (*", "S: k OK UID FETCH completed"};
        // Names in modified UTF-7 until UTF-8 is enabled, then in UTF-8; a message as UTF8 (~{n}...).
        QTest::newRow("utf-8") << Login + Lines{"C: c CREATE \"Caf\xc3\xa9\"", "S: c OK CREATE completed",
            "C: d LIST \"\" (M* Caf*)", "S: * LIST (\\HasNoChildren) \"/\" Caf&AOk-", "S: * LIST (\\HasChildren) \"/\" M&AOQ-rz",
            "S: * LIST (\\HasNoChildren) \"/\" M&AOQ-rz/&ZeVnLIqe-", "S: d OK LIST completed",
            "C: e CREATE &Jjo", "S: e BAD CREATE wants a mailbox name", "C: f ENABLE UTF8=ACCEPT", "S: * ENABLED UTF8=ACCEPT", "S: f OK ENABLE completed",
            "C: g STATUS \"M\xc3\xa4rz\" (MESSAGES)", "S: * STATUS \"M\xc3\xa4rz\" (MESSAGES 1)", "S: g OK STATUS completed",
            "C: h APPEND \"Caf\xc3\xa9\" UTF8 (~{14+}\nSubject: \xc3\xa9t\xc3\xa9)", "S: h OK [APPENDUID *", "C: i SELECT M&AOQ-rz", "S: i NO [NONEXISTENT] No such mailbox"};
        // IMAP4rev2 once enabled: no RECENT, the folder's LIST at SELECT, SEARCH as ESEARCH, names in UTF-8.
        Lines rev2 = Selected("C", 2, 3);
        rev2.removeAt(4);
        rev2.insert(7, "S: * LIST (\\HasNoChildren) \"/\" INBOX");
        QTest::newRow("imap4rev2") << Login + Lines{"C: b ENABLE IMAP4rev2 imap4rev2", "S: * ENABLED IMAP4rev2", "S: b OK ENABLE completed"} + rev2 + Lines{"C: d SEARCH UNSEEN", "S: * ESEARCH (TAG \"d\") ALL 1:2",
            "S: d OK SEARCH completed", "C: e UID SEARCH DELETED", "S: * ESEARCH (TAG \"e\") UID", "S: e OK UID SEARCH completed",
            "C: f LIST \"\" M*", "S: * LIST (\\HasChildren) \"/\" \"M\xc3\xa4rz\"", "S: * LIST (\\HasNoChildren) \"/\" \"M\xc3\xa4rz/\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e\"",
            "S: f OK LIST completed",
            "C: g EXAMINE \"Ma\xcc\x88rz\"", "S: * OK [CLOSED] Previous mailbox closed", "S: * FLAGS *", "S: * OK [PERMANENTFLAGS *", "S: * 1 EXISTS",
            "S: * OK [UIDVALIDITY *", "S: * OK [UIDNEXT 2] *", "S: * OK [HIGHESTMODSEQ *",
            "S: * LIST (\\HasChildren) \"/\" \"M\xc3\xa4rz\" (\"OLDNAME\" (\"Ma\xcc\x88rz\"))", "S: g OK [READ-ONLY] EXAMINE completed"};
        // RECURSIVEMATCH: a folder with a subscribed folder below it the patterns leave out is listed,
        // subscribed or not, and says so; one subscribed itself says so whatever the patterns.
        const QByteArray childInfo = " (\"CHILDINFO\" (\"SUBSCRIBED\"))";
        QTest::newRow("list recursivematch") << Login + Lines{"C: a CREATE Both/Kid", "S: a OK *", "C: b CREATE Deep/A/B", "S: b OK *",
            "C: c CREATE Plain/Kid", "S: c OK *", "C: d SUBSCRIBE Both", "S: d OK *", "C: e SUBSCRIBE Both/Kid", "S: e OK *",
            "C: f SUBSCRIBE Deep/A/B", "S: f OK *", "C: g LIST (SUBSCRIBED RECURSIVEMATCH) \"\" (B% De% P%)",
            "S: * LIST (\\HasChildren \\Subscribed) \"/\" Both" + childInfo, "S: * LIST (\\HasChildren) \"/\" Deep" + childInfo, "S: g OK LIST completed",
            "C: h LIST (RECURSIVEMATCH SUBSCRIBED) \"\" (B* Deep/%)", "S: * LIST (\\HasChildren \\Subscribed) \"/\" Both" + childInfo,
            "S: * LIST (\\HasNoChildren \\Subscribed) \"/\" Both/Kid", "S: * LIST (\\HasChildren) \"/\" Deep/A" + childInfo, "S: h OK LIST completed",
            "C: k LIST (SUBSCRIBED RECURSIVEMATCH) \"\" (Deep/A Deep/A/B)", "S: * LIST (\\HasNoChildren \\Subscribed) \"/\" Deep/A/B", "S: k OK LIST completed",
            "C: i LIST (SUBSCRIBED) \"\" De%", "S: i OK LIST completed", "C: j LIST (RECURSIVEMATCH) \"\" %",
            "S: j BAD RECURSIVEMATCH wants another selection option"};
        QTest::newRow("folders, append, copy, move") << Login + Lines{"C: b LIST \"\" *", "S: * LIST (\\HasNoChildren) \"/\" INBOX",
            "S: * LIST (\\HasNoChildren \\Archive) \"/\" Archive", "S: * LIST (\\HasNoChildren \\Drafts) \"/\" Drafts", "S: * LIST (\\HasNoChildren \\Junk) \"/\" Junk",
            "S: * LIST (\\HasChildren) \"/\" M&AOQ-rz", "S: * LIST (\\HasNoChildren) \"/\" M&AOQ-rz/&ZeVnLIqe-", "S: * LIST (\\HasNoChildren \\Sent) \"/\" Sent", "S: * LIST (\\HasNoChildren \\Trash) \"/\" Trash", "S: b OK LIST completed",
            "C: c CREATE Work/2026/", "S: c OK CREATE completed", "C: d CREATE ../up", "S: d NO *", "C: e RENAME Work Job", "S: e OK RENAME completed",
            "C: f LIST (SUBSCRIBED) \"\" J%", "S: * LIST (\\HasNoChildren \\Junk \\Subscribed) \"/\" Junk", "S: f OK LIST completed", "C: g SUBSCRIBE Job/2026", "S: g OK SUBSCRIBE completed",
            "C: h LIST \"\" Job* RETURN (SUBSCRIBED STATUS (MESSAGES UIDNEXT))", "S: * LIST (\\HasChildren) \"/\" Job", "S: * STATUS Job (MESSAGES 0 UIDNEXT 1)",
            "S: * LIST (\\HasNoChildren \\Subscribed) \"/\" Job/2026", "S: * STATUS Job/2026 (MESSAGES 0 UIDNEXT 1)", "S: h OK LIST completed",
            "C: i APPEND Nowhere {2+}\nhi", "S: i NO [TRYCREATE] No such mailbox", "C: j SELECT Nowhere", "S: j NO [NONEXISTENT] No such mailbox"}
            + Selected("C", 2, 3) + Lines{"C: k APPEND INBOX (\\Seen) \" 7-Dec-2026 10:00:00 +0100\" {8+}\nSubject:", "S: * 3 EXISTS", "S: k OK [APPENDUID *",
            "C: l FETCH 3 (FLAGS INTERNALDATE)", "S: * 3 FETCH (FLAGS (\\Seen) INTERNALDATE \"07-Dec-2026 09:00:00 +0000\")", "S: l OK FETCH completed",
            "C: m COPY 2:3 Job", "S: m OK [COPYUID *", "C: n UID MOVE 1 Trash", "S: * OK [COPYUID *", "S: * 1 EXPUNGE", "S: n OK UID MOVE completed",
            "C: o STATUS Job (MESSAGES UNSEEN SIZE)", "S: * STATUS Job (MESSAGES 2 UNSEEN 1 SIZE 35)", "S: o OK STATUS completed",
            "C: p DELETE Job", "S: p OK DELETE completed", "C: q COPY 1 Job", "S: q NO [TRYCREATE] No such mailbox"};
    }
    void dialogue()
    {
        QFETCH(Lines, script);
        ProgramFolder pf("UserName,Password,MailID\nalice,secret,alice\n");
        pf.Write("Users/alice/250101-10000000.eml", "Subject: one\r\n\r\nfirst\r\n");
        pf.Write("Users/alice/250101-10000001.eml", "Subject: two\r\n\r\n..\r\nsecond\r\n");
        // Folders an earlier build named by the modified UTF-7 sent, carried to their names at login.
        pf.Write("Users/alice/.imap/M&AOQ-rz/250101-10000002.eml", "Subject: old\r\n\r\nkept\r\n");
        pf.Write("Users/alice/.imap/M&AOQ-rz/&ZeVnLIqe-/250101-10000003.eml", "Subject: old\r\n\r\nkept\r\n");
        static QStringList reported;
        reported.clear();
        mdlCommon::SetReporter([](const QString& line) { reported << line; });
        FakeServer s;
        for (qint16 i : {2, 3}) s.Open<ImapSession>(i, ImapStep::Commands);
        // "$VALIDITY" in a command stands for INBOX's UIDVALIDITY.
        const auto validity = [&] { return QByteArray::number(MailboxIndex::Open(pf.Path("Users/alice"))->UidValidity()); };
        Play(s, 2, script, [&](qint16 i, const QByteArray& b) { Gather(s, i, b.contains("$VALIDITY") ? QByteArray(b).replace("$VALIDITY", validity()) : b, ImapCommand); });
        mdlCommon::SetReporter(nullptr);
        const QStringList carried{"IMAP: folder \"M&AOQ-rz\" of alice renamed to \"März\"", "IMAP: folder \"März/&ZeVnLIqe-\" of alice renamed to \"März/日本語\""};
        QVERIFY2(reported.isEmpty() || reported == carried, qPrintable(reported.join('\n')));
    }

    // A FETCH that sets \Seen on many messages is one report to a session in IDLE, not one a
    // message: each report looks over the whole folder (10,000 messages and five idlers took
    // 27 s so).
    void idleToldOnceForManyChanges()
    {
        ProgramFolder pf("UserName,Password,MailID\nalice,secret,alice\n");
        for (int n = 0; n < 20; ++n)
            pf.Write(QStringLiteral("Users/alice/250101-%1.eml").arg(10000000 + n), "Subject: s\r\n\r\nx\r\n");
        FakeServer s;
        const auto send = [&](qint16 i, const QByteArray& line) { Gather(s, i, line + "\r\n", ImapCommand); };
        for (qint16 i : {2, 3}) {
            s.Open<ImapSession>(i, ImapStep::Commands);
            send(i, "a LOGIN alice secret");
            send(i, "b SELECT INBOX");
        }
        send(3, "c IDLE");
        const qsizetype before = s.RepliesTo(3).size();
        send(2, "c FETCH 1:* (BODY[])");
        QCoreApplication::processEvents();
        const Lines told = s.RepliesTo(3).mid(before);
        QCOMPARE(told.size(), 1);
        QCOMPARE(told[0].count(" FETCH (FLAGS (\\Seen))"), 20);
    }
};

QTEST_GUILESS_MAIN(TestImap)
#include "test_imap.moc"
