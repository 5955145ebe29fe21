// The SMTP server side, played as dialogues: every reply in order, and what reaches the
// mailboxes taro and hanako (trace headers checked, then taken off) or a relay.
#include "TestSupport.h"
#include "smtp/SmtpCommand.h"
#include "relay/Queue.h"
#include "smtp/SmtpSession.h"

#include <QHostInfo>
#include <QNetworkInterface>
#include <QRegularExpression>

namespace {

const QByteArray Ehlo = "S: 250-mx.test.host\n250-VRFY\n250-ETRN\n250-8BITMIME\n250-SMTPUTF8\n250-PIPELINING\n250-AUTH LONGIN PLAIN CRAM-MD5\n250-AUTH=LOGIN PLAIN CRAM-MD5\n250 SIZE";
const QByteArray Ok = "S: 250 OK", Go = "S: 354 Start mail input; end with <CRLF>.<CRLF>", Taken = "S: 250 OK <SB>",
                 Bye = "S: 221 Merivolant ESMTP Closed", Syntax = "S: 500 Syntax error";
const QByteArray Env = "C: MAIL FROM:<a@here.test>\nRCPT TO:<taro@example.test>";
const QByteArray NoSuch = "S: 550 5.1.1 No such mailbox";

// One inbound SMTP connection on index 2 with mailboxes taro and hanako, in a program
// folder one level down, so that a careless path can reach the folders around it.
struct Smtp : FakeServer {
    ProgramFolder root;
    explicit Smtp(const QByteArray& domainMx = "Domain,MX,Priority\nfar.test,mx.far.test, 10\n")
    {
        root.Write("prog/Users.txt", "UserName,Password,MailID\ntaro,pw,taro\nhana,pw2,hanako\n");
        // taro has more addresses; hanako's own mailbox stays hers; ghost's account does not exist.
        root.Write("prog/Aliases.txt", "Address,UserName\n Info@Example.Test. ,taro\nsales,taro\nTaro@Far.Test,taro\nhanako@example.test,taro\nlost,ghost\n");
        root.Write("prog/DomainMX.txt", domainMx);
        root.Write("prog/Users/plainfile", "");
        for (const char* d : {"prog/Users/taro", "prog/Users/hanako", "x"}) QDir(root.dir.path()).mkpath(d);
        QFile::link(root.Path("x"), root.Path("prog/Users/link"));
        mdlCommon::SetProgramFolder(root.Path("prog"));
        settings.SubmissionPort = "587";
        settings.SmtpsPort = "465";
        Open<SmtpSession>(2, SmtpStep::Commands);
    }
    // The session on connection 2 starts afresh, as one that came in on `port`.
    void On(int port)
    {
        sessions.erase(2);
        ports[2] = port;
        SmtpService(Wired().Smtp()).accept(*this, 2);
    }
    void Play(const Lines& script) { ::Play(*this, 2, script, [this](qint16 i, const QByteArray& b) { Gather(*this, i, b, SmtpHandler()); Drain(); }); }
    // Each stored message without its trace headers, which must name the sender, the
    // client, this host and the mailbox's own recipient.
    Lines Contents(const QString& box) const
    {
        static const QRegularExpression trace("^Return-Path: <[^>]*>\\r\\nReceived: from \\S+ \\(\\[127\\.0\\.0\\.1\\]\\)\\r\\n"
                                              "\\tby mx\\.test\\.host with (?:SMTP|ESMTPS?A?)\\r\\n\\tfor <([^>]*)>; [^\\r\\n]+\\r\\n");
        Lines r;
        for (const QString& n : root.Files("prog/Users/" + box)) {
            const QByteArray text = root.Read("prog/Users/" + box + '/' + n);
            const auto m = trace.match(QString::fromLatin1(text));
            const bool named = m.captured(1).startsWith(box, Qt::CaseInsensitive) || (box == "taro" && m.captured(1).compare("postmaster", Qt::CaseInsensitive) == 0)
                               || Classify(settings, m.captured(1).toUtf8()).folder == mdlCommon::UsersFolder() + '/' + box;   // an alias
            if (!m.hasMatch() || !named || !QRegularExpression("^\\d{6}-\\d{8}\\.eml$").match(n).hasMatch())
                return {"<bad trace head or name: " + n.toUtf8() + "> " + text.left(200)};
            r << text.mid(m.capturedLength());
        }
        return r;
    }
    QStringList Others() const { return root.Entries().filter(QRegularExpression("^(?!prog/Users/(taro|hanako)/.)")); }
};

QByteArray Hops(int n) { QByteArray h; for (int i = 0; i < n; ++i) h += "Received: from hop" + QByteArray::number(i) + "\n"; return h; }

}

class TestSmtp : public QObject {
    Q_OBJECT

private slots:
    void init() { mdlCommon::ServerDomain = "example.test"; }

    void dialogue_data()
    {
        QTest::addColumn<Lines>("script");
        QTest::addColumn<Lines>("taro");
        QTest::addColumn<Lines>("hanako");
        QTest::newRow("helo, ehlo") << Lines{"C: helo client.test", "S: 250 mx.test.host", "C: EHLO client.test", Ehlo} << Lines{} << Lines{};
        QTest::newRow("commands without a message") << Lines{"C: NOOP", Ok, "C: VRFY taro", "S: 252 2.5.2 Cannot VRFY user, but will accept message",
                                                            "C: help", "S: 214 *", "C: RSET", Ok, "C: QUI", Syntax, "C: ", Syntax, "C: AUTH XOAUTH2",
                                                            "S: 504 5.5.4 Unrecognized authentication type", "C: ETRN x", "S: 251 OK, no messages waiting for node x", "C: ETRN", "S: 501 5.5.4 Syntax: ETRN domain",
                                                            "C: ETRN #q", "S: 458 *", "C: ETRN @Example.test", "S: 459 *", "C: ETRN example.test.", "S: 459 *", "C: DATA", "S: 554 5.5.1 No valid recipients"} << Lines{} << Lines{};
        // After a refused MAIL, RCPT is out of sequence until a MAIL or RSET is taken.
        QTest::newRow("address without >") << Lines{"C: MAIL FROM:<a@h.test\nRCPT TO: b@far.test", "S: 500 Syntax error;5:Invalid procedure call or argument (no >)",
                                                    "S: 503 5.5.1 Bad sequence of commands", "C: RSET\nRCPT TO: b@far.test", Ok,
                                                    "S: 500 Syntax error;5:Invalid procedure call or argument (no <)"} << Lines{} << Lines{};
        QTest::newRow("whole session, one buffer") << Lines{"C: EHLO c\nMAIL FROM:<a@here.test> SIZE=9\nrcpt to:<taro@example.test>\nDATA\nSubject: p\n\nbody\n.\nQUIT",
                                                            Ehlo, Ok, Ok, Go, Taken, Bye} << Lines{"Subject: p\r\n\r\nbody\r\n"} << Lines{};
        QTest::newRow("19 bytes in pieces") << Lines{Env, Ok, Ok, "C: DATA", Go, "C: Subject: x", "C: hello", "C: .", Taken}
                                            << Lines{"Subject: x\r\nhello\r\n"} << Lines{};
        QTest::newRow("dot-stuffed lines kept") << Lines{Env + "\nDATA\n..leading\n.. \n...\n.", Ok, Ok, Go, Taken} << Lines{"..leading\r\n.. \r\n...\r\n"} << Lines{};
        QTest::newRow("commands in the text") << Lines{Env + "\nDATA", Ok, Ok, Go, "C: QUIT\nMAIL FROM:<z@z.test>\nHELO c", "C: a.\n.x\n.", Taken, "C: NOOP", Ok}
                                              << Lines{"QUIT\r\nMAIL FROM:<z@z.test>\r\nHELO c\r\na.\r\n.x\r\n"} << Lines{};
        QTest::newRow("RSET drops the transaction") << Lines{Env, Ok, Ok, "C: RSET", Ok, "C: MAIL FROM:<b@here.test>\nRCPT TO:<hanako@example.test>\nDATA\nfor hanako\n.",
                                                             Ok, Ok, Go, Taken} << Lines{} << Lines{"for hanako\r\n"};
        QTest::newRow("two messages, own envelopes") << Lines{Env + "\nDATA\none\n.\nRCPT TO:<hanako@example.test>\nDATA\ntwo\n.", Ok, Ok, Go, Taken, Ok, Go, Taken}
                                                     << Lines{"one\r\n"} << Lines{"two\r\n"};
        QTest::newRow("one copy per mailbox") << Lines{Env + "\nRCPT TO:<taro@example.test>\nRCPT TO:<TARO@example.test>\nDATA\nhi\n.", Ok, Ok, Ok, Ok, Go, Taken}
                                              << Lines{"hi\r\n"} << Lines{};
        QTest::newRow("served domain in any case, final dot") << Lines{"C: RCPT TO:<TARO@EXAMPLE.TEST>\nRCPT TO:<Hanako@example.test.>\nDATA\nhi\n.", Ok, Ok, Go, Taken}
                                                              << Lines{"hi\r\n"} << Lines{"hi\r\n"};
        QTest::newRow("30 hops") << Lines{Env + "\nDATA\n" + Hops(30) + "\nx\n.", Ok, Ok, Go, Taken} << Lines{QByteArray(Hops(30) + "\nx\n").replace("\n", "\r\n")} << Lines{};
        QTest::newRow("31 hops: a loop") << Lines{Env + "\nDATA\n" + Hops(31) + "\nx\n.", Ok, Ok, Go, "S: 554 5.4.6 Too many hops"} << Lines{} << Lines{};
        QTest::newRow("cut short: nothing") << Lines{Env + "\nDATA\nhalf", Ok, Ok, Go} << Lines{} << Lines{};
        QTest::newRow("NOOP and QUIT behind the message wait for it") << Lines{Env + "\nDATA\nhi\n.\nNOOP\nQUIT", Ok, Ok, Go, Taken, Ok, Bye}
                                                                       << Lines{"hi\r\n"} << Lines{};
        QTest::newRow("nothing after QUIT") << Lines{"C: QUIT\nHELO c", Bye} << Lines{} << Lines{};
        // Only a folder directly under Users is a mailbox; the good recipient after them is served.
        Lines unsafe;
        for (const QByteArray a : {"../../x@example.test", "..@example.test", ".@example.test", "taro/../taro@example.test", "..\\x@example.test",
                                   "link@example.test", "plainfile@example.test", "nobody@example.test", "taro @example.test", "@example.test", "example.test"})
            unsafe << "C: RCPT TO:<" + a + ">" << NoSuch;
        QTest::newRow("unsafe local parts") << unsafe + Lines{"C: RCPT TO:<taro@example.test>\nDATA\nhi\n.", Ok, Go, Taken} << Lines{"hi\r\n"} << Lines{};
        // Not even a trusted client relays to this machine; the served domain stays local.
        Lines self;
        QList<QByteArray> here = {"x@localhost", "x@LocalHost.", "x@a.localhost", "x@mx.test.host", "x@MX.Test.Host.", "x@[127.0.0.1]", "x@[127.9.9.9]",
                                  "x@[IPv6:::1]", "x@[ipv6:::ffff:127.0.0.1]", "x@[0.0.0.0]", "x@[IPv6:::]", "x@127.1", "x@2130706433", "x@0x7f.1",
                                  "x@" + QHostInfo::localHostName().toUtf8().toUpper()};
        for (const QHostAddress& a : QNetworkInterface::allAddresses())
            if (a.scopeId().isEmpty())
                here << "x@[" + QByteArray(a.protocol() == QAbstractSocket::IPv6Protocol ? "IPv6:" : "") + a.toString().toLatin1() + "]";
        for (const QByteArray& a : here)
            self << "C: RCPT TO:<" + a + ">" << "S: 550 5.7.1 Relaying to this host is not allowed";
        QTest::newRow("no relay to this host") << self + Lines{"C: RCPT TO:<taro@Example.Test.>\nDATA\nhi\n.", Ok, Go, Taken} << Lines{"hi\r\n"} << Lines{};
        // A refused MAIL inside a transaction leaves it open: its recipients stay and take more.
        QTest::newRow("second MAIL refused") << Lines{Env + "\nMAIL FROM:b@x\nMAIL FROM:<b@x> SIZE=999999999999\nRCPT TO:<hanako@example.test>\nDATA\nhi\n.", Ok, Ok,
                                                      "S: 500 *", "S: 552 5.3.4 *", Ok, Go, Taken} << Lines{"hi\r\n"} << Lines{"hi\r\n"};
        QTest::newRow("parameters never offered") << Lines{"C: MAIL FROM:<a@here.test> RET=HDRS", "S: 555 5.5.4 Unsupported parameter", "C: MAIL FROM:<a@here.test> ENVID=x",
                                                           "S: 555 *", "C: mail from:<a@here.test> body=8BITMIME AUTH=<> SIZE=5 SMTPUTF8", Ok,
                                                           "C: RCPT TO:<taro@example.test> NOTIFY=NEVER", "S: 555 *", "C: RCPT TO:<nobody@example.test> ORCPT=rfc822;x@y", "S: 555 *",
                                                           "C: RCPT TO:<a\rb@example.test>", "S: 501 5.1.3 Bad address syntax", "C: RCPT TO:<\x01@far.test>", "S: 501 5.1.3 *",
                                                           "C: DATA", "S: 554 5.5.1 No valid recipients"} << Lines{} << Lines{};
    }
    // Every copy is on disk before its "250 OK <SB>", also when the files are written later
    // than the reply would go: what the client sends meanwhile waits, and is answered in
    // order. Nothing is written outside the mailboxes.
    void dialogue()
    {
        QFETCH(Lines, script); QFETCH(Lines, taro); QFETCH(Lines, hanako);
        for (const bool deferred : {false, true}) {
            Smtp t;
            const QStringList before = t.Others();
            t.deferWrites = deferred;
            qsizetype atTaken = -1;
            t.onReply = [&](qint16, const QByteArray& text) { if (text == "250 OK <SB>") atTaken = t.Contents("taro").size() + t.Contents("hanako").size(); };
            t.Play(script);
            QVERIFY(atTaken < 0 || atTaken == taro.size() + hanako.size());
            QCOMPARE(t.Contents("taro"), taro);
            QCOMPARE(t.Contents("hanako"), hanako);
            QCOMPARE(t.Others(), before);
        }
    }

    // Relaying needs a client of RelayNetworks or a login; passwords in clear need TLS once
    // it is offered, except from RelayNetworks; STARTTLS starts the session over.
    void access_data()
    {
        QTest::addColumn<QString>("networks");
        QTest::addColumn<bool>("tls");
        QTest::addColumn<Lines>("script");
        const QByteArray plain = "C: AUTH PLAIN " + QByteArray("\0taro\0pw", 8).toBase64(), granted = "S: 235 2.7.0 Authentication successful";
        const QByteArray far = "C: RCPT TO:<a@far.test>", denied = "S: 554 5.7.1 Relay access denied";
        QTest::newRow("local network relays") << "127.0.0.0/8,::1" << false << Lines{far, Ok, "C: RCPT TO:<nobody@example.test>", "S: 550 5.1.1 No such mailbox"};
        QTest::newRow("others only local") << "10.0.0.0/8" << false << Lines{far, denied, "C: RCPT TO:<x@localhost>", denied, "C: RCPT TO:<taro@example.test>", Ok};
        QTest::newRow("PLAIN, then relay") << "10.0.0.0/8" << false << Lines{plain, granted, far, Ok, "C: RCPT TO:<x@[127.0.0.1]>",
                                                                           "S: 550 5.7.1 Relaying to this host is not allowed", plain, "S: 503 5.5.1 Already authenticated"};
        // The authorization identity may only be the user's own name.
        QTest::newRow("PLAIN acting for another") << "" << false << Lines{"C: AUTH PLAIN " + QByteArray("hanako\0taro\0pw", 14).toBase64(),
                                                                          "S: 535 5.7.8 Authentication credentials invalid", far, denied,
                                                                          "C: AUTH PLAIN " + QByteArray("taro\0taro\0pw", 12).toBase64(), granted, far, Ok};
        QTest::newRow("LONGIN as spelt, name at once") << "" << false << Lines{"C: auth longin dGFybw==", "S: 334 UGFzc3dvcmQ6", "C: cHc=", granted};
        QTest::newRow("cancelled, undecodable") << "" << false << Lines{"C: AUTH LOGIN", "S: 334 *", "C: *", "S: 501 5.0.0 Authentication cancelled",
                                                                         "C: AUTH PLAIN !!", "S: 501 5.5.2 Cannot decode the answer"};
        QTest::newRow("clear text needs TLS") << "10.0.0.0/8" << true << Lines{plain, "S: 538 5.7.11 Encryption required", "C: AUTH LOGIN",
                                                                              "S: 538 5.7.11 Encryption required", "C: AUTH CRAM-MD5", "S: 334 *"};
        QTest::newRow("local network in clear") << "127.0.0.1" << true << Lines{plain, granted};
        QTest::newRow("STARTTLS starts over") << "10.0.0.0/8" << true
            << Lines{"C: EHLO c", Ehlo.chopped(9) + "\n250-STARTTLS\n250 SIZE", "C: STARTTLS\nRCPT TO:<taro@example.test>", "S: 220 Ready to start TLS",
                     "C: DATA", "S: 554 5.5.1 No valid recipients", "C: EHLO c", Ehlo, plain, granted, "C: STARTTLS", Syntax};
    }
    void access()
    {
        QFETCH(QString, networks); QFETCH(bool, tls); QFETCH(Lines, script);
        Smtp t;
        t.settings.RelayNetworks = networks;
        t.tls = tls;
        t.Play(script);
    }

    // The submission port: passwords in clear only inside TLS, and what is submitted gets only
    // the Date or Message-ID it lacks (AUTH before MAIL, RCPT and DATA even from RelayNetworks,
    // both fields added and nothing added on port 25 are tests/e2e/test_submission.py's). Logged-in
    // clients send only as their own account, on any port: UserName@ and MailID@ the served
    // domain in any letter case, the null sender, and the addresses Aliases.txt gives them.
    void submission_data()
    {
        QTest::addColumn<int>("port");
        QTest::addColumn<bool>("tls");
        QTest::addColumn<QString>("networks");
        QTest::addColumn<Lines>("script");
        QTest::addColumn<Lines>("taro");
        QTest::addColumn<Lines>("hanako");
        const QByteArray taro = "C: AUTH PLAIN " + QByteArray("\0taro\0pw", 8).toBase64(), hana = "C: AUTH PLAIN " + QByteArray("\0hana\0pw2", 9).toBase64();
        const QByteArray granted = "S: 235 2.7.0 Authentication successful", clear = "S: 538 5.7.11 Encryption required";
        const QByteArray notOwned = "S: 553 5.7.1 Sender address not owned by user";
        const QByteArray local = "127.0.0.0/8";
        QTest::newRow("no certificate: CRAM-MD5 alone") << 587 << false << QString(local)
                                                      << Lines{"C: AUTH PLAIN", clear, "C: AUTH CRAM-MD5", "S: 334 *", "C: *", "S: 501 5.0.0 Authentication cancelled"}
                                                      << Lines{} << Lines{};
        QTest::newRow("Date and Message-ID kept, the missing one added")
            << 587 << true << QString() << Lines{"C: STARTTLS", "S: 220 Ready to start TLS", taro, granted,
                                                 "C: MAIL FROM:<taro@example.test>\nRCPT TO:<taro@example.test>\nDATA\nSubject: a\nDATE: x\nMessage-Id:\n <i@d>\n\nbody\n.",
                                                 Ok, Ok, Go, Taken, "C: MAIL FROM:<>\nRCPT TO:<hanako@example.test>\nDATA\nDate: x\n\nMessage-ID: <i@d>\n.", Ok, Ok, Go, Taken}
            << Lines{"Subject: a\r\nDATE: x\r\nMessage-Id:\r\n <i@d>\r\n\r\nbody\r\n"} << Lines{"Message-ID: M\r\nDate: x\r\n\r\nMessage-ID: <i@d>\r\n"};
        QTest::newRow("own addresses at MAIL FROM")
            << 25 << false << QString()
            << Lines{hana, granted, "C: MAIL FROM:<taro@example.test>\nRCPT TO:<taro@example.test>", notOwned, "S: 503 5.5.1 Bad sequence of commands",
                     "C: MAIL FROM:<HANA@EXAMPLE.TEST>", Ok, "C: MAIL FROM:<Hanako@example.test.>", Ok, "C: MAIL FROM:<hanako>", Ok, "C: MAIL FROM:<>", Ok,
                     "C: MAIL FROM:<hana@far.test>", notOwned, "C: MAIL FROM:<info@example.test>", notOwned, "C: MAIL FROM:<hanako@example.test.x>", notOwned,
                     "C: MAIL FROM:<\"hanako\"@example.test>", notOwned, "C: MAIL FROM:<hanako@example.test> SIZE=10", Ok}
            << Lines{} << Lines{};
        QTest::newRow("aliases at MAIL FROM")
            << 587 << true << QString()
            << Lines{"C: STARTTLS", "S: 220 Ready to start TLS", taro, granted, "C: MAIL FROM:<INFO@example.test>", Ok, "C: MAIL FROM:<info@example.test.>", Ok,
                     "C: MAIL FROM:<Sales@Example.Test>", Ok, "C: MAIL FROM:<sales>", Ok, "C: MAIL FROM:<taro@far.test.>", Ok, "C: MAIL FROM:<sales@far.test>", notOwned,
                     "C: MAIL FROM:<hanako@example.test>", Ok, "C: MAIL FROM:<hana@example.test>", notOwned}
            << Lines{} << Lines{};
        // An alias of the served domain reaches its account's mailbox; an account's own address stays its own.
        QTest::newRow("aliases delivered")
            << 25 << false << QString(local)
            << Lines{"C: RCPT TO:<info@EXAMPLE.test>\nRCPT TO:<SALES>\nRCPT TO:<hanako@example.test>\nRCPT TO:<lost@example.test>\nRCPT TO:<sales@example.test.>\nDATA\nhi\n.",
                     Ok, Ok, Ok, NoSuch, Ok, Go, Taken}
            << Lines{"hi\r\n"} << Lines{"hi\r\n"};
        // Implicit TLS is submission too.
        QTest::newRow("465 is submission") << 465 << true << QString(local) << Lines{"C: MAIL FROM:<a@here.test>", "S: 530 5.7.0 Authentication required"}
                                           << Lines{} << Lines{};
    }
    void submission()
    {
        QFETCH(int, port); QFETCH(bool, tls); QFETCH(QString, networks); QFETCH(Lines, script); QFETCH(Lines, taro); QFETCH(Lines, hanako);
        Smtp t;
        t.settings.RelayNetworks = networks;
        t.tls = tls;
        t.On(port);
        t.Play(script);
        // The fields added: a date and a unique identifier with the host's name.
        const auto added = [&t](const QString& box) {
            static const QRegularExpression date("Date: \\d\\d [A-Z][a-z]{2} \\d{4} \\d\\d:\\d\\d:\\d\\d [-+]\\d{4}\\r\\n"),
                id("Message-ID: <\\d{17}\\.[0-9a-z]+@mx\\.test\\.host>\\r\\n");
            Lines r;
            for (QByteArray text : t.Contents(box)) {
                QString s = QString::fromLatin1(text);
                s.replace(date, "Date: D\r\n").replace(id, "Message-ID: M\r\n");
                r << s.toLatin1();
            }
            return r;
        };
        QCOMPARE(added("taro"), taro);
        QCOMPARE(added("hanako"), hanako);
    }

    // The mailboxes of every From: of a logged-in client's message must be its own, however
    // the field is written; one a reader could take two ways is refused too.
    void fromField_data()
    {
        QTest::addColumn<QByteArray>("head");
        QTest::addColumn<bool>("login");
        QTest::addColumn<bool>("taken");
        const QList<std::tuple<const char*, QByteArray, bool>> rows = {
            {"user name, any case", "FROM : HANA@Example.Test", true},
            {"second mailbox another's", "From: hana@example.test, taro@example.test", false},
            {"two From fields", "From: hana@example.test\nFrom: taro@example.test", false},
            {"From after a line that is no field", "Subject: s\nnot a field\nFrom: taro@example.test", false},
            {"quote left open", "From: \"x <hana@example.test>", false},
            {"no From at all", "Subject: s", true},
            {"foreign", "From: hana@far.test", false},
            {"stuffed dot", "..From: taro@example.test", true},   // a field named ".From"
            {"Sender another's", "From: hana@example.test\nSender: taro@example.test", false},
            {"Resent-From another's", "Resent-From: taro@example.test", false},
        };
        for (const auto& [name, head, taken] : rows)
            QTest::newRow(name) << head << true << taken;
        QTest::newRow("not logged in, from RelayNetworks") << QByteArray("From: taro@example.test") << false << true;
    }
    void fromField()
    {
        QFETCH(QByteArray, head); QFETCH(bool, login); QFETCH(bool, taken);
        Smtp t;
        const QByteArray auth = "C: AUTH PLAIN " + QByteArray("\0hana\0pw2", 9).toBase64();
        t.Play((login ? Lines{auth, "S: 235 *"} : Lines{})
               + Lines{"C: MAIL FROM:<hanako@example.test>\nRCPT TO:<taro@example.test>\nDATA\n" + head + "\n\nhi\n.", Ok, Ok, Go,
                       taken ? Taken : "S: 553 5.7.1 Sender address not owned by user"});
        QCOMPARE(t.Contents("taro").size(), qsizetype(taken));
    }

    // Without the aliases table, or with the setting empty, there are none; a setting naming
    // no table file of the program folder is said in the log and counts as none. The table
    // read again when edited is tests/e2e/test_submission.py's.
    void aliasesTable()
    {
        Smtp t;
        QFile::remove(t.root.Path("prog/Aliases.txt"));
        t.Play({"C: RCPT TO:<info@example.test>", NoSuch});
        t.root.Write("prog/Aliases.txt", "Address,UserName\nsales@example.test,hana\n");
        QStringList reported;
        static QStringList* sink = nullptr;
        sink = &reported;
        mdlCommon::SetReporter([](const QString& line) { *sink << line; });
        for (const char* setting : {"", "../Aliases.txt", "Users.txt", "/etc/passwd"}) {
            t.settings.SenderAliases = setting;
            t.Play({"C: RCPT TO:<sales@example.test>", NoSuch});
        }
        mdlCommon::SetReporter(nullptr);
        QCOMPARE(reported.size(), 3);
        QVERIFY2(reported.first().startsWith("Setting SenderAliases=\"../Aliases.txt\" is not a table file name"), qPrintable(reported.first()));
        t.settings.SenderAliases = "Other.txt";
        t.root.Write("prog/Other.txt", "Address,UserName\nsales@example.test,hana\n");
        t.Play({"C: RCPT TO:<sales@example.test>", Ok});
    }

    // All or none across the targets: when the queue cannot take the foreign copy, the mailbox
    // copy already written is taken back, and the sender hears it should try again.
    void queueFailureTakesBackMailboxCopy()
    {
        Smtp t;
        t.root.Write("prog/Queue", "a file where the queue's folder would be");
        t.Play({"C: MAIL FROM:<one@here.test>\nRCPT TO:<taro@example.test>\nRCPT TO:<a@far.test>\nDATA\none\n.", Ok, Ok, Ok, Go,
                "S: 451 4.3.0 Local error: the message could not be stored"});
        QCOMPARE(t.Contents("taro"), Lines{});
        QVERIFY(std::any_of(t.log.begin(), t.log.end(), [](const QByteArray& l) { return l.startsWith("2-StoreError a@far.test "); }));
    }

    // Any other domain is queued with the local copy before the 250, and relayed from the
    // queue (read back here as at a start), each recipient on a connection of its own with
    // the Received line on top of the text; subdomains of the served domain are foreign, and
    // an address is the served domain's when its last "@" says so.
    void foreignRecipients()
    {
        Smtp t("Domain,MX,Priority\nfar.test,mx.far.test, 10\nmail.example.test,mx.mail.test, 10\n");
        t.Play({"C: MAIL FROM:<one@here.test>\nRCPT TO:<a@far.test>\nRCPT TO:<taro@example.test>\nRCPT TO:<x@mail.example.test>\nRCPT TO:<x@b@example.test>\nDATA\none\n.",
                Ok, Ok, Ok, Ok, NoSuch, Go, Taken});
        QCOMPARE(QDir(QueueFile::Folder()).entryList(QDir::Files).size(), 2);
        Queue q;
        q.Start(t);
        QTRY_COMPARE(t.connects, (std::vector<std::pair<qint16, QString>>{{3, "mx.far.test:25"}, {4, "mx.mail.test:25"}}));
        QCOMPARE(t.Contents("taro"), Lines{"one\r\n"});
        for (const auto& [i, rcpt] : std::vector<std::pair<qint16, QByteArray>>{{3, "a@far.test"}, {4, "x@mail.example.test"}}) {
            const RelaySession& r = *t.Session(i)->As<RelaySession>();
            QCOMPARE(t.Session(i)->Step(), int(RelayStep::Connecting));
            QCOMPARE((Lines{r.Sender} + r.Recipients), (Lines{"one@here.test", rcpt}));
            QVERIFY2(r.Text.head.startsWith("Received: from unknown ([127.0.0.1])\r\n\tby mx.test.host with SMTP\r\n\tfor <" + rcpt + ">; ")
                     && r.Text.head.endsWith("\r\n"), r.Text.head.constData());
            // Sent from the queue file as the exchanger takes it; the end of data adds the last CR LF.
            QCOMPARE(r.Text.Read(), r.Text.head + "one");
        }
    }
};

QTEST_GUILESS_MAIN(TestSmtp)
#include "test_smtp.moc"
