// An SMTP peer sending anything. Input: one byte of chunking, then the byte stream. After
// each input the folder may hold nothing new but whole message files in the mailboxes and
// the relay queue.
#include "FuzzSupport.h"
#include "app/Wiring.h"
#include "relay/Queue.h"
#include "smtp/SmtpCommand.h"
#include "smtp/SmtpSession.h"

FUZZ_TARGET(smtp)
{
    static FuzzFolder folder("UserName,Password,MailID\ndemo,secret,demo\nother,pw,other\n", "Domain,MX,Priority\nrelay.test,mx.relay.test, 10\n");
    static const QRegularExpression message("^(Users/(demo|other)/\\d{6}-\\d{8}\\.eml|Queue/\\d{6}-\\d{6}-[0-9a-f]{8}\\.(eml|json))$");
    static const QStringList fixed = [] {
        folder.Mailbox("demo");
        QDir().mkpath(folder.Path("Queue"));
        folder.Write("Users/other/keep.eml", "kept\r\n");
        QFile::link(folder.Path("Users/other"), folder.Path("Users/linked"));   // delivery must not follow a link out
        mdlCommon::ServerDomain = "example.test";
        return folder.Fixed(message);
    }();
    static Queue queue;
    static const Wiring wiring(queue);
    if (size < 1) return 0;
    FakeServer server;
    server.Open<SmtpSession>(2, SmtpStep::Commands);
    Feed(server, 2, Bytes(data + 1, size - 1), data[0], [](Server& s, qint16 i, const QByteArray& t) { SmtpCommand(wiring.Smtp(), s, i, t); }, [] {});
    FUZZ_CHECK(folder.Fixed(message) == fixed, "entries besides new messages changed");
    for (const QString& e : folder.Entries().filter(message)) {
        const QByteArray text = folder.Read(e);
        FUZZ_CHECK(e.endsWith(".json") || (!text.contains("\r\n.\r\n") && !text.startsWith(".\r\n")), "%s holds the end of data", qPrintable(e));
        QFile::remove(folder.Path(e));
    }
    return 0;
}
