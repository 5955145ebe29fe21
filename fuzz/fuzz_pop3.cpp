// A POP3 client sending anything against a real mailbox. Input: one byte of chunking, then
// the byte stream. Messages change only from .eml to .del, or go after QUIT; nothing else
// in the folder changes; STAT follows the files; every RETR sends a whole message file.
#include "FuzzSupport.h"
#include "pop3/Pop3Session.h"
#include "pop3/Pop3Command.h"

namespace {

const QByteArray Messages[] = {"Subject: one\r\n\r\nhello\r\n", "", "Subject: three\r\n\r\n..dotted\r\n.\r\nbare LF\n bare CR\r after the dot line\r\n"};
const QRegularExpression Message("^Users/demo/250302-0905070[0-2]\\.(eml|del)$");

FuzzFolder& FreshMailbox()
{
    static FuzzFolder f("UserName,Password,MailID\ndemo,secret,demo\nother,pw,other\nup,x,..\ndot,x,.\nslash,x,../other\n"
                        "padded,x,demo   \nghost,x,nobox\nlinked,x,linked\n");
    [[maybe_unused]] static const bool ready = [] {
        for (const char* keep : {"Users/other/keep.eml", "keep.eml", "Users/keep.eml"}) f.Write(keep, "kept\r\n");
        return QFile::link(f.Path("Users/other"), f.Path("Users/linked"));
    }();
    // Each input starts with three messages, a file that is none, and a folder and a link named like one.
    QDir(f.Path("Users/demo")).removeRecursively();
    f.Mailbox("demo/sub.eml");
    for (int i = 0; i < 3; ++i) f.Write("Users/demo/250302-0905070" + QString::number(i) + ".eml", Messages[i]);
    f.Write("Users/demo/notes.txt", "not a message\r\n");
    QFile::link(f.Path("Users/other/keep.eml"), f.Path("Users/demo/link.eml"));
    return f;
}

void CheckReply(qint16, const QByteArray& r)   // RETR: "+OK n octets" CR LF, the file as stored, "."
{
    if (!r.startsWith("+OK ") || !r.contains(" octets\r\n")) return;
    const qsizetype body = r.indexOf("\r\n") + 2;
    const QByteArray text = r.mid(body, r.size() - body - 1);
    FUZZ_CHECK(r.endsWith('.') && r.left(body) == "+OK " + QByteArray::number(text.size()) + " octets\r\n", "RETR reply malformed");
    FUZZ_CHECK(std::find(std::begin(Messages), std::end(Messages), text) != std::end(Messages), "RETR sent text that is no message of the mailbox");
}

}

FUZZ_TARGET(pop3)
{
    if (size < 1) return 0;
    FuzzFolder& folder = FreshMailbox();
    const QStringList fixed = folder.Fixed(Message);
    FakeServer server;
    server.onReply = CheckReply;
    server.Open<Pop3Session>(2, Pop3Step::Session);
    bool quit = false;
    Feed(server, 2, Bytes(data + 1, size - 1), data[0], Pop3Command, [&] {
        const Connecter* session = server.Session(2);
        quit = quit || (session && session->Step() == Closing);
        const Pop3Session* c = session ? session->As<Pop3Session>() : nullptr;
        if (!c || c->MailID().isEmpty()) return;
        int count = 0;
        qint64 bytes = 0;
        for (const QFileInfo& fi : QDir(c->MailFolder()).entryInfoList({"*.eml"}, QDir::Files | QDir::NoSymLinks | QDir::Hidden)) { ++count; bytes += fi.size(); }
        FUZZ_CHECK(c->MailCount() == count && c->MailSize() == bytes, "STAT %d %lld but %d %lld on disk", c->MailCount(), c->MailSize(), count, bytes);
    });
    FUZZ_CHECK(folder.Fixed(Message) == fixed, "entries besides the messages changed");
    FUZZ_CHECK(quit || folder.Entries().filter(Message).size() == 3, "messages gone without QUIT");
    return 0;
}
