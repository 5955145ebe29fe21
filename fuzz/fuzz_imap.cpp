// An IMAP client sending anything against a real account. Input: one byte of chunking, then
// the byte stream. Nothing outside the account's folder changes; every reply is a tagged,
// untagged or continuation line; what the reader holds stays within one command's bounds.
#include "FuzzSupport.h"
#include "imap/ImapCommand.h"
#include "imap/ImapSession.h"

namespace {

const QRegularExpression Account("^Users/demo(/|$)");

FuzzFolder& FreshAccount()
{
    static FuzzFolder f("UserName,Password,MailID\ndemo,secret,demo\nup,x,..\n");
    [[maybe_unused]] static const bool ready = f.Write("Users/other/250302-09050700.eml", "kept\r\n");
    QDir(f.Path("Users/demo")).removeRecursively();
    f.Write("Users/demo/250302-09050700.eml", "Subject: one\r\n\r\n..dotted\r\nhello\r\n");
    f.Write("Users/demo/250302-09050701.eml", "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n\r\nx\r\n--b--\r\n");
    // A folder as an earlier build named it, carried to its real name at each login.
    f.Write("Users/demo/.imap/M&AOQ-rz/&ZeVnLIqe-/250302-09050702.eml", "kept\r\n");
    return f;
}

void CheckReply(qint16, const QByteArray& r)
{
    const qsizetype blank = r.indexOf(' ');
    const QByteArray word = r.mid(blank + 1, r.indexOf(' ', blank + 1) - blank - 1);
    FUZZ_CHECK(r.startsWith("* ") || r.startsWith("+ ") || word == "OK" || word == "NO" || word == "BAD", "reply malformed: %s", r.left(80).constData());
}

}

FUZZ_TARGET(imap)
{
    if (size < 1) return 0;
    FuzzFolder& folder = FreshAccount();
    const QStringList fixed = folder.Fixed(Account);
    FakeServer server;
    server.onReply = CheckReply;
    server.Open<ImapSession>(2, ImapStep::Commands);
    Feed(server, 2, Bytes(data + 1, size - 1), data[0], ImapCommand, [&] {
        const Connecter* c = server.Session(2);
        const ImapSession* s = c ? c->As<ImapSession>() : nullptr;
        FUZZ_CHECK(!s || s->Held() <= 2 * (Imap::MaxCommandText + qint64(size)), "reader holds %lld", s ? s->Held() : 0LL);
    });
    FUZZ_CHECK(folder.Fixed(Account) == fixed, "entries outside the account changed");
    return 0;
}
