// An SMTP peer sending anything. Input: one byte of chunking, then the byte stream.
// After each input the program folder may hold nothing new but whole message files
// directly in the existing mailboxes.
#include "FuzzSupport.h"
#include "smtp/SmtpCommand.h"

#include <QRegularExpression>

namespace {

FuzzFolder& Folder()
{
    static FuzzFolder folder("UserName,Password,MailID\ndemo,secret,demo\nother,pw,other\n",
                             "Domain,MX,Priority\nrelay.test,mx.relay.test, 10\n");
    static bool ready = false;
    if (!ready) {
        QDir(folder.dir.path()).mkpath(QStringLiteral("Users/demo"));
        folder.Write(QStringLiteral("Users/other/keep.eml"), "kept\r\n");
        // A link out of the store named like a mailbox: delivery must not follow it.
        QFile::link(folder.Path(QStringLiteral("Users/other")), folder.Path(QStringLiteral("Users/linked")));
        mdlCommon::ServerDomain = QStringLiteral("example.test");
        ready = true;
    }
    return folder;
}

const QStringList Fixed = {
    QStringLiteral("DomainMX.txt"), QStringLiteral("Users"), QStringLiteral("Users.txt"),
    QStringLiteral("Users/demo"), QStringLiteral("Users/linked"), QStringLiteral("Users/other"),
    QStringLiteral("Users/other/keep.eml"),
};

}

FUZZ_TARGET(smtp)
{
    FuzzFolder& folder = Folder();
    if (size < 1)
        return 0;
    FakeServer server;
    server.Open(2, SmtpCommands);
    Feed(server, 2, Bytes(data + 1, size - 1), data[0], SmtpCommand, [] {});

    static const QRegularExpression message(QStringLiteral("^Users/(demo|other)/\\d{6}-\\d{8}\\.eml$"));
    for (const QString& e : folder.Entries()) {
        if (Fixed.contains(e))
            continue;
        FUZZ_CHECK(message.match(e).hasMatch(), "unexpected entry %s", qPrintable(e));
        const QByteArray text = folder.Read(e);
        // The end-of-data line and anything after it never reach the file.
        FUZZ_CHECK(!text.contains("\r\n.\r\n") && !text.startsWith(".\r\n"), "%s holds the end of data", qPrintable(e));
        QFile::remove(folder.Path(e));
    }
    FUZZ_CHECK(folder.Read(QStringLiteral("Users/other/keep.eml")) == "kept\r\n", "keep.eml changed");
    FUZZ_CHECK(folder.Read(QStringLiteral("Users.txt")).startsWith("UserName,Password,MailID\n"), "Users.txt changed");
    return 0;
}
