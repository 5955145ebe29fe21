// A POP3 client sending anything against a real mailbox. Input: one byte of chunking,
// then the byte stream. Messages leave the mailbox only through DELE and QUIT; nothing
// outside the logged-in mailbox changes; every RETR sends a whole message file.
#include "FuzzSupport.h"
#include "pop3/Pop3Command.h"

#include <QSet>

namespace {

const QByteArray Messages[] = {
    "Subject: one\r\n\r\nhello\r\n",
    "",
    "Subject: three\r\n\r\n..dotted\r\n.\r\nafter the dot line\r\n",
};
const QString Names[] = {
    QStringLiteral("250302-09050700.eml"), QStringLiteral("250302-09050701.eml"), QStringLiteral("250302-09050702.eml"),
};

FuzzFolder& Folder()
{
    static FuzzFolder folder(
        "UserName,Password,MailID\n"
        "demo,secret,demo\n"
        "other,pw,other\n"
        "up,x,..\n"
        "dot,x,.\n"
        "slash,x,../other\n"
        "padded,x,demo   \n"
        "ghost,x,nobox\n"
        "linked,x,linked\n",
        "Domain,MX,Priority\n");
    static bool ready = false;
    if (!ready) {
        folder.Write(QStringLiteral("Users/other/keep.eml"), "kept\r\n");
        folder.Write(QStringLiteral("keep.eml"), "kept\r\n");
        folder.Write(QStringLiteral("Users/keep.eml"), "kept\r\n");
        QFile::link(folder.Path(QStringLiteral("Users/other")), folder.Path(QStringLiteral("Users/linked")));
        ready = true;
    }
    return folder;
}

QString Mailbox() { return Folder().Path(QStringLiteral("Users/demo")); }

// The mailbox as every input starts with it: three messages, a file that is not one,
// a folder and a link named like messages.
void ResetMailbox()
{
    FuzzFolder& f = Folder();
    QDir box(Mailbox());
    if (box.exists())
        box.removeRecursively();
    QDir(f.dir.path()).mkpath(QStringLiteral("Users/demo/sub.eml"));
    for (int i = 0; i < 3; ++i)
        f.Write(QStringLiteral("Users/demo/") + Names[i], Messages[i]);
    f.Write(QStringLiteral("Users/demo/notes.txt"), "not a message\r\n");
    QFile::link(f.Path(QStringLiteral("Users/other/keep.eml")), f.Path(QStringLiteral("Users/demo/link.eml")));
}

// Stem -> extension of the regular files in the mailbox that are messages.
std::map<QString, QString> Stored(const QString& folder)
{
    std::map<QString, QString> m;
    for (const QFileInfo& fi : QDir(folder).entryInfoList(QDir::Files | QDir::NoSymLinks | QDir::Hidden)) {
        const QString n = fi.fileName();
        if (n.endsWith(QLatin1String(".eml")) || n.endsWith(QLatin1String(".del")))
            m[n.left(n.size() - 4)] = n.right(3);
    }
    return m;
}

void CheckReply(qint16, const QByteArray& r)
{
    // "+OK n octets" CR LF, the file as stored, then ".".
    if (!r.startsWith("+OK ") || !r.contains(" octets\r\n"))
        return;
    const qsizetype body = r.indexOf("\r\n") + 2;
    FUZZ_CHECK(r.endsWith('.'), "RETR reply without its final dot");
    const QByteArray text = r.mid(body, r.size() - body - 1);
    FUZZ_CHECK(r.left(body) == "+OK " + QByteArray::number(text.size()) + " octets\r\n", "RETR size line wrong");
    bool known = false;
    for (const QByteArray& m : Messages)
        known = known || m == text;
    FUZZ_CHECK(known, "RETR sent text that is no message of the mailbox");
}

}

FUZZ_TARGET(pop3)
{
    FuzzFolder& folder = Folder();
    if (size < 1)
        return 0;
    ResetMailbox();
    const QStringList before = folder.Entries();
    FakeServer server;
    server.onReply = CheckReply;
    server.Open(2, Pop3Session);
    bool quit = false;
    Feed(server, 2, Bytes(data + 1, size - 1), data[0], Pop3Command, [&] {
        Connecter* c = server.Session(2);
        if (!c) return;
        quit = quit || c->Step() == Closing;
        if (c->MailID().isEmpty())
            return;
        // The counts STAT reports follow the files on disk.
        int count = 0;
        qint64 bytes = 0;
        for (const QFileInfo& fi : QDir(c->MailFolder()).entryInfoList(QDir::Files | QDir::NoSymLinks | QDir::Hidden))
            if (fi.fileName().endsWith(QLatin1String("eml"))) { ++count; bytes += fi.size(); }
        FUZZ_CHECK(c->MailCount() == count && c->MailSize() == bytes, "STAT %d %lld but %d %lld on disk",
                   c->MailCount(), c->MailSize(), count, bytes);
    });

    // Only the three messages may change, and only from .eml to .del or gone after QUIT.
    const auto after = Stored(Mailbox());
    for (const auto& [stem, ext] : after) {
        bool ours = false;
        for (const QString& n : Names) ours = ours || n.startsWith(stem);
        FUZZ_CHECK(ours, "new message %s", qPrintable(stem));
    }
    if (!quit)
        FUZZ_CHECK(after.size() == 3, "%d messages left without QUIT", int(after.size()));
    QStringList now = folder.Entries();
    QStringList was = before;
    auto outside = [](const QString& e) { return !e.startsWith(QLatin1String("Users/demo/")) || e.endsWith(QLatin1String(".txt"))
                                                 || e.contains(QLatin1String("sub.eml")) || e.contains(QLatin1String("link.eml")); };
    now.removeIf([&](const QString& e) { return !outside(e); });
    was.removeIf([&](const QString& e) { return !outside(e); });
    FUZZ_CHECK(now == was, "entries outside the mailbox's messages changed");
    for (const char* keep : {"keep.eml", "Users/keep.eml", "Users/other/keep.eml"})
        FUZZ_CHECK(folder.Read(QString::fromLatin1(keep)) == "kept\r\n", "%s changed", keep);
    return 0;
}
