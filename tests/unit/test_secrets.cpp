// No secret of a client's reaches the log, whatever the spelling: each row is the buffers one
// POP3, SMTP or IMAP connection sends, handed on by Gather as the connection manager does.
#include "TestSupport.h"
#include "imap/ImapCommand.h"
#include "imap/ImapSession.h"

namespace {

const QByteArray Password = "S3cr3t!pw";
const QByteArray Plain = (QByteArray("\0taro\0", 6) + Password).toBase64(), Name = QByteArray("taro").toBase64(), Pw = Password.toBase64(),
                 Cram = QByteArray("taro 0123456789abcdef0123456789abcdef").toBase64();
const QByteArray Opening = "MAIL FROM:<a@here.test>\r\nRCPT TO:<taro@example.test>\r\nDATA\r\n";
const QByteArray Padding = QByteArray("NOOP\r\n").repeated(1000);

}

class TestSecrets : public QObject {
    Q_OBJECT
private slots:
    void noSecretInTheLog_data()
    {
        QTest::addColumn<int>("protocol");   // 0 POP3, 1 SMTP, 2 IMAP
        QTest::addColumn<Lines>("buffers");     // "(stored)": the message files held back so far are written
        QTest::addColumn<QByteArray>("shown");  // what the log must show, masked
        QTest::newRow("PASS after blanks") << 0 << Lines{"USER taro\r\n", "   PASS " + Password + "\r\n"} << QByteArray("2<   PASS ********\r\n");
        QTest::newRow("pass in lower case") << 0 << Lines{"pass " + Password + "\r\n"} << QByteArray("2<pass ********\r\n");
        QTest::newRow("PASS run into the password") << 0 << Lines{"PASS" + Password + "\r\n"} << QByteArray("2<PASS ********\r\n");
        QTest::newRow("PASSWORD") << 0 << Lines{"PASSWORD " + Password + "\r\n"} << QByteArray("2<PASS ********\r\n");
        QTest::newRow("PASS, bare LF") << 0 << Lines{"PASS\n " + Password + "\r\n"} << QByteArray("2<PASS\n********\r\n");
        QTest::newRow("POP3 commands in one buffer") << 0 << Lines{"USER taro\r\nPASS " + Password + "\r\nSTAT\r\n"}
                                                     << QByteArray("2<USER taro\r\nPASS ********\r\nSTAT\r\n");
        QTest::newRow("POP3 AUTH, not offered") << 0 << Lines{"AUTH PLAIN " + Plain + "\r\n"} << QByteArray("2<AUTH PLAIN ********\r\n");

        QTest::newRow("PLAIN asked for") << 1 << Lines{"AUTH PLAIN\r\n", Plain + "\r\n"} << QByteArray("2<********\r\n");
        QTest::newRow("LOGIN, answers with the command") << 1 << Lines{"AUTH LOGIN\r\n" + Name + "\r\n" + Pw + "\r\n"}
                                                         << QByteArray("2<AUTH LOGIN\r\n********\r\n********\r\n");
        QTest::newRow("LONGIN with the name") << 1 << Lines{"AUTH LONGIN " + Name + "\r\n" + Pw + "\r\n"} << QByteArray("2<AUTH LONGIN ********\r\n********\r\n");
        QTest::newRow("CRAM-MD5 answer") << 1 << Lines{"AUTH CRAM-MD5\r\n", Cram + "\r\n", "AUTH CRAM-MD5\r\n" + Cram + "\r\n"}
                                         << QByteArray("2<AUTH CRAM-MD5\r\n********\r\n");
        QTest::newRow("no mechanism") << 1 << Lines{"AUTH " + Plain + "\r\n"} << QByteArray("2<AUTH ********\r\n");
        QTest::newRow("SMTP commands in one buffer") << 1 << Lines{"EHLO c\r\nAUTH PLAIN " + Plain + "\r\nMAIL FROM:<a@here.test>\r\n"}
                                                     << QByteArray("2<EHLO c\r\nAUTH PLAIN ********\r\nMAIL FROM:<a@here.test>\r\n");
        QTest::newRow("SMTP padded") << 1 << Lines{Padding + "AUTH PLAIN " + Plain + "\r\n"} << QByteArray("NOOP\r\nAUTH PLAIN ********\r\n");
        // Commands that follow message text, in its buffer or after it, or while it is stored.
        QTest::newRow("after the end of a message") << 1 << Lines{Opening + "hi\r\n.\r\nAUTH PLAIN " + Plain + "\r\n"}
                                                    << QByteArray("\r\n.\r\nAUTH PLAIN ********\r\n");
        QTest::newRow("while the message is stored") << 1 << Lines{Opening + "hi\r\n.\r\nAUTH LOGIN\r\n", Name + "\r\n", Pw + "\r\n", "(stored)"}
                                                     << QByteArray("2<********\r\n");
        QTest::newRow("answers after a refused AUTH") << 1 << Lines{"AUTH PLAIN " + Plain + "\r\n", "AUTH LOGIN\r\n", Name + "\r\n", Pw + "\r\n"}
                                                      << QByteArray("2<********\r\n");
        QTest::newRow("DATA refused") << 1 << Lines{"DATA\r\nAUTH PLAIN " + Plain + "\r\n"} << QByteArray("2<DATA\r\nAUTH PLAIN ********\r\n");
        // Lines the exchange does not take as its answers must not shift what is masked.
        QTest::newRow("too long a line in the exchange") << 1 << Lines{"AUTH LOGIN\r\n" + QByteArray(600, 'x') + "\r\n" + Name + "\r\n" + Pw + "\r\n"}
                                                         << QByteArray("\r\n********\r\n********\r\n");
        QTest::newRow("too long a line, by its bare LF") << 1 << Lines{"AUTH LOGIN\n" + QByteArray(511, 'x') + "\n" + Name + "\n" + Pw + "\n"}
                                                         << QByteArray("\n********\n********\n");
        QTest::newRow("a blank before AUTH") << 1 << Lines{" AUTH LOGIN\r\nAUTH LOGIN\r\n" + Name + "\r\n" + Pw + "\r\n"}
                                             << QByteArray("2< AUTH LOGIN\r\n********\r\n********\r\n********\r\n");
        QTest::newRow("IMAP LOGIN") << 2 << Lines{"a LOGIN taro " + Password + "\r\n"} << QByteArray("2<a LOGIN taro ********\r\n");
        QTest::newRow("IMAP LOGIN, literals waited for") << 2 << Lines{"a LOGIN {4}\r\n", "taro {9}\r\n", Password + "\r\n"} << QByteArray("2<********\r\n");
        QTest::newRow("IMAP LOGIN, literals in one buffer") << 2 << Lines{"a LOGIN {4+}\r\ntaro {9+}\r\n" + Password + "\r\nb NOOP\r\n"}
                                                            << QByteArray("2<a LOGIN {4+}\r\n********\r\n********\r\nb NOOP\r\n");
        QTest::newRow("IMAP AUTHENTICATE, response waited for") << 2 << Lines{"a AUTHENTICATE PLAIN\r\n", Plain + "\r\n"} << QByteArray("2<********\r\n");
        QTest::newRow("IMAP AUTHENTICATE with SASL-IR") << 2 << Lines{"a AUTHENTICATE PLAIN " + Plain + "\r\nb NOOP\r\n"}
                                                        << QByteArray("2<a AUTHENTICATE PLAIN ********\r\nb NOOP\r\n");
    }
    // No log line holds the password, its base64 or a login's base64; the line itself is logged, masked.
    void noSecretInTheLog()
    {
        QFETCH(int, protocol); QFETCH(Lines, buffers); QFETCH(QByteArray, shown);
        ProgramFolder pf("UserName,Password,MailID\ntaro," + Password + ",taro\n");
        pf.Mailbox("taro");
        mdlCommon::ServerDomain = "example.test";
        FakeServer s;
        s.deferWrites = true;
        if (protocol == 2)
            s.Open<ImapSession>(2, ImapStep::Commands);
        const CommandHandler handler = protocol == 2 ? ImapCommand : OpenSession(s, 2, protocol == 1);
        for (const QByteArray& b : buffers) {
            if (b == "(stored)")
                s.Drain();
            else
                Gather(s, 2, b, handler);
        }
        s.Drain();
        for (const QByteArray& line : std::as_const(s.log))
            for (const QByteArray& secret : {Password, Pw, Plain, Name, Cram})
                QVERIFY2(!line.contains(secret), ("a secret in the log: " + line.left(300)).constData());
        QVERIFY2(std::any_of(s.log.begin(), s.log.end(), [&](const QByteArray& line) { return line.contains(shown); }),
                 ("not logged: " + shown + "\nlog: " + s.log.join("|").right(600)).constData());
    }
};

QTEST_GUILESS_MAIN(TestSecrets)
#include "test_secrets.moc"
