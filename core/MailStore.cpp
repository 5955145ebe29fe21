#include "core/MailStore.h"
#include "core/Failure.h"
#include "core/mdlCommon.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QMutex>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace MailStore {

QString Stem(const QDateTime& when)
{
    const int hundredths = when.time().msec() / 10;
    return when.toString(QStringLiteral("yyMMdd-HHmmss")) + QStringLiteral("%1").arg(hundredths, 2, 10, QLatin1Char('0'));
}

bool IsMailboxName(const QString& name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
        && !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\')) && !name.contains(QChar(0));
}

QString MailboxFolder(const QString& mailId)
{
    QString name = mailId;
    while (name.endsWith(QLatin1Char(' '))) name.chop(1);
    if (!IsMailboxName(name))
        return {};
    const QString folder = mdlCommon::UsersFolder() + QLatin1Char('/') + name;
    struct stat st {};
    // lstat: a link placed in the store does not lead out of it
    if (::lstat(QFile::encodeName(folder).constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return {};
    return folder;
}

namespace {
void WriteAll(int fd, const char* p, qsizetype n, const QString& path)
{
    while (n > 0) {
        const ssize_t w = ::write(fd, p, size_t(n));
        if (w < 0) {
            if (errno == EINTR) continue;
            throw FailureFromErrno(errno, path);
        }
        p += w;
        n -= w;
    }
}
}

QString Store(const QString& folder, const QByteArray& content, const QDateTime& when)
{
    // Written under a name no reader lists, flushed, then linked to its final name:
    // link() never replaces an existing file, so a taken name is simply tried again.
    const QByteArray dir = QFile::encodeName(folder);
    // Hidden and ending in ".tmp": never taken for a message, whatever the random part.
    QByteArray tmp = dir + "/.incoming-XXXXXX.tmp";
    const int fd = ::mkstemps(tmp.data(), 4);
    if (fd < 0)
        throw FailureFromErrno(errno, folder);
    const QString tmpPath = QFile::decodeName(tmp);
    try {
        ::fchmod(fd, 0644);
        WriteAll(fd, content.constData(), content.size(), tmpPath);
        if (::fsync(fd) != 0)
            throw FailureFromErrno(errno, tmpPath);
    } catch (...) {
        ::close(fd);
        ::unlink(tmp.constData());
        throw;
    }
    if (::close(fd) != 0) {
        const int err = errno;
        ::unlink(tmp.constData());
        throw FailureFromErrno(err, tmpPath);
    }
    // Names handed out before in this folder are not tried again one by one: a message for
    // the same mailbox n times over would cost n*n/2 tries. Stores run on several threads.
    static QMutex naming;
    static QHash<QString, QDateTime> lastName;
    QMutexLocker lock(&naming);
    QDateTime moment = when;
    const auto last = lastName.constFind(folder);
    if (last != lastName.constEnd() && moment <= *last)
        moment = last->addMSecs(10);
    for (int attempt = 0; attempt < 100000; ++attempt) {
        const QString name = Stem(moment) + QStringLiteral(".eml");
        const QByteArray target = dir + '/' + QFile::encodeName(name);
        // The same stem marked ".del" is a message too: RSET must find its name free.
        const QByteArray marked = dir + '/' + QFile::encodeName(Stem(moment)) + ".del";
        if (::access(marked.constData(), F_OK) == 0) { moment = moment.addMSecs(10); continue; }
        if (::link(tmp.constData(), target.constData()) == 0) {
            lastName.insert(folder, moment);
            lock.unlock();
            ::unlink(tmp.constData());
            const int dfd = ::open(dir.constData(), O_RDONLY | O_DIRECTORY);
            if (dfd >= 0) { ::fsync(dfd); ::close(dfd); }
            return name;
        }
        if (errno != EEXIST) {
            const int err = errno;
            ::unlink(tmp.constData());
            throw FailureFromErrno(err, folder + QLatin1Char('/') + name);
        }
        moment = moment.addMSecs(10);
    }
    ::unlink(tmp.constData());
    throw Failure(Err::FileExists, QStringLiteral("No free message name in %1").arg(folder));
}

QStringList RemoveUnfinished()
{
    QStringList removed;
    const QDir users(mdlCommon::UsersFolder());
    for (const QString& box : users.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::NoSymLinks)) {
        const QDir dir(users.filePath(box));
        for (const QFileInfo& fi : dir.entryInfoList({QStringLiteral(".incoming-*")}, QDir::Files | QDir::Hidden | QDir::NoSymLinks)) {
            const QString name = box + QLatin1Char('/') + fi.fileName();
            const qint64 size = fi.size();
            if (::unlink(QFile::encodeName(fi.filePath()).constData()) == 0)
                removed << QStringLiteral("Removed unfinished delivery Users/%1 (%2 bytes)").arg(name).arg(size);
            else
                removed << QStringLiteral("Cannot remove unfinished delivery Users/%1: %2").arg(name, QString::fromLocal8Bit(strerror(errno)));
        }
    }
    return removed;
}

}
