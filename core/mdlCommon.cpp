#include "core/mdlCommon.h"
#include "core/TextDatabase.h"

#include <QHostInfo>
#include <cstring>
#include <netdb.h>
#include <sys/socket.h>

#include <cstdio>
#include <memory>

namespace mdlCommon {
namespace {
QString& Folder()
{
    static QString folder;
    return folder;
}
std::unique_ptr<TextDatabase>& Db()
{
    static std::unique_ptr<TextDatabase> db;
    return db;
}
}

QString ProgramFolder() { return Folder(); }

void SetProgramFolder(const QString& folder)
{
    Folder() = folder;
    Db().reset();
}

QString UsersFolder() { return Folder() + QStringLiteral("/Users"); }

TextDatabase& DbConnection()
{
    if (!Db())
    {
        Db() = std::make_unique<TextDatabase>(Folder());
        Db()->Warning = [](const QString& w) { Report(w); };
    }
    return *Db();
}

namespace {
void (*TheReporter)(const QString&) = nullptr;
}

void SetReporter(void (*reporter)(const QString&)) { TheReporter = reporter; }

void Report(const QString& line)
{
    if (TheReporter)
        TheReporter(line);
    else
        fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
}

int PortNumber(const QString& text)
{
    bool ok = false;
    const int n = text.trimmed().toInt(&ok);
    return ok && n > 0 && n <= 65535 ? n : -1;
}


QString MachineName()
{
    const QString shortName = QHostInfo::localHostName();
    addrinfo hints {};
    hints.ai_flags = AI_CANONNAME;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    QString name = shortName;
    if (::getaddrinfo(shortName.toUtf8().constData(), nullptr, &hints, &found) == 0 && found) {
        if (found->ai_canonname && strchr(found->ai_canonname, '.'))
            name = QString::fromUtf8(found->ai_canonname);
        ::freeaddrinfo(found);
    }
    return name;
}

}
