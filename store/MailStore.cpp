#include "store/MailStore.h"
#include "core/DurableFile.h"
#include "core/Failure.h"
#include "core/mdlCommon.h"
#include "mail/Header.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QHash>
#include <QMutex>
#include <algorithm>
#include <map>
#include <set>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/inotify.h>
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

QString FolderForLocalPart(const QString& localPart)
{
    // Trailing blanks are dropped only from mail IDs read from the table, not from addresses.
    if (localPart.endsWith(QLatin1Char(' ')))
        return {};
    const QString exact = MailboxFolder(localPart);
    if (!exact.isEmpty() || !IsMailboxName(localPart))
        return exact;
    QString found;
    const QStringList names = QDir(mdlCommon::UsersFolder()).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::NoSymLinks);
    for (const QString& n : names) {
        if (n.compare(localPart, Qt::CaseInsensitive) != 0)
            continue;
        if (!found.isEmpty())
            return {};   // two folders differ only in case: which one is meant is not ours to guess
        found = n;
    }
    return found.isEmpty() ? QString() : MailboxFolder(found);
}

namespace {

// Message names count hundredths of a second: a taken name moves on by one of them, and a
// mailbox that has no free name after this many is given up.
constexpr int NameStepMs = 10;
constexpr int MostNameTries = 100000;

// Gives a written temporary file the name of `when` in `folder`, moving on to the next free
// hundredth when the name is taken; the temporary name goes in any case. Throws Failure.
QString Name(const QString& folder, const QByteArray& tmp, const QDateTime& when)
{
    // A link never replaces an existing file, so a taken name is simply tried again.
    const QByteArray dir = QFile::encodeName(folder);
    // Names handed out before in this folder are not tried again one by one: a message for
    // the same mailbox n times over would cost n*n/2 tries. Stores run on several threads.
    static QMutex naming;
    static QHash<QString, QDateTime> lastName;
    QMutexLocker lock(&naming);
    QDateTime moment = when;
    const auto last = lastName.constFind(folder);
    if (last != lastName.constEnd() && moment <= *last)
        moment = last->addMSecs(NameStepMs);
    for (int attempt = 0; attempt < MostNameTries; ++attempt) {
        const QString name = Stem(moment) + QStringLiteral(".eml");
        const QByteArray target = dir + '/' + QFile::encodeName(name);
        // The same stem marked ".del" is a message too: RSET must find its name free.
        const QByteArray marked = dir + '/' + QFile::encodeName(Stem(moment)) + ".del";
        if (::access(marked.constData(), F_OK) == 0) { moment = moment.addMSecs(NameStepMs); continue; }
        const int linked = DurableFile::LinkNew(tmp, target);
        if (linked == 0) {
            lastName.insert(folder, moment);
            lock.unlock();
            ::unlink(tmp.constData());
            return name;
        }
        if (linked != EEXIST) {
            ::unlink(tmp.constData());
            throw FailureFromErrno(linked, folder + QLatin1Char('/') + name);
        }
        moment = moment.addMSecs(NameStepMs);
    }
    ::unlink(tmp.constData());
    throw Failure(Err::FileExists, QStringLiteral("No free message name in %1").arg(folder));
}

}

void StoreAll(std::vector<NewCopy>& copies, const QByteArray& text, size_t& failed, const QDateTime& when)
{
    // Written under names no reader lists, flushed together, then named, then each folder
    // flushed once (with whatever other messages ended at the same moment).
    std::vector<QByteArray> written;
    const auto undo = [&](size_t at, size_t from) {
        failed = at;
        for (size_t i = from; i < written.size(); ++i)
            ::unlink(written[i].constData());
        for (NewCopy& c : copies)
            if (!c.stored.isEmpty()) Discard(c.folder, std::exchange(c.stored, {}));
    };
    for (size_t i = 0; i < copies.size(); ++i) {
        try {
            written.push_back(DurableFile::WriteTemporary(copies[i].folder, {copies[i].head, text}, copies.size() == 1));
        } catch (...) {
            undo(i, 0);
            throw;
        }
    }
    if (copies.size() > 1)
        if (const int err = DurableFile::FlushFiles(written)) {
            undo(0, 0);
            throw FailureFromErrno(err, copies.front().folder);
        }
    QStringList folders;
    for (size_t i = 0; i < copies.size(); ++i) {
        try {
            copies[i].stored = Name(copies[i].folder, written[i], when);
        } catch (...) {
            undo(i, i + 1);
            throw;
        }
        if (!folders.contains(copies[i].folder))
            folders << copies[i].folder;
    }
    // The names are on disk only once their folders are: if that fails, the sender tries again.
    if (const int err = DurableFile::FlushFolders(folders)) {
        undo(0, written.size());
        throw FailureFromErrno(err, folders.join(QLatin1String(", ")));
    }
}

QString Store(const QString& folder, const QByteArray& head, const QByteArray& text, const QDateTime& when)
{
    std::vector<NewCopy> one{{folder, head, {}}};
    size_t failed = 0;
    StoreAll(one, text, failed, when);
    return one.front().stored;
}

void Discard(const QString& folder, const QString& name)
{
    ::unlink(QFile::encodeName(folder + QLatin1Char('/') + name).constData());
}

namespace {
QByteArray PathOf(const QString& folder, const QString& name) { return QFile::encodeName(folder + QLatin1Char('/') + name); }

// The marked or unmarked name of a message file: only its last three characters change.
QString WithExtension(const QString& name, const char* ext) { return name.left(name.size() - 3) + QLatin1String(ext); }

QString Rename(const QString& folder, const QString& from, const QString& to)
{
    if (::renameat2(AT_FDCWD, PathOf(folder, from).constData(), AT_FDCWD, PathOf(folder, to).constData(), RENAME_NOREPLACE) != 0)
        throw FailureFromErrno(errno, from);
    return to;
}

}

QString Mark(const QString& folder, const QString& name) { return Rename(folder, name, WithExtension(name, "del")); }

QString Unmark(const QString& folder, const QString& name) { return Rename(folder, name, WithExtension(name, "eml")); }

void Purge(const QString& folder, const QString& name)
{
    const QByteArray path = PathOf(folder, name);
    struct stat st {};
    if (::lstat(path.constData(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & S_IWUSR))
        ::unlink(path.constData());   // read-only files stay
}

qint64 SizeOf(const QString& folder, const QString& name)
{
    struct stat st {};
    if (::stat(PathOf(folder, name).constData(), &st) != 0)
        throw FailureFromErrno(errno, name);
    return st.st_size;
}

FileReply Open(const QString& folder, const QString& name, qint64 size)
{
    FileReply f;
    f.fd = ::open(PathOf(folder, name).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (f.fd < 0)
        throw FailureFromErrno(errno, name);
    if (size >= 0) {
        f.length = size;
        return f;
    }
    struct stat st {};
    if (::fstat(f.fd, &st) != 0)
        throw FailureFromErrno(errno, name);
    f.length = st.st_size;
    return f;
}

qint64 TopLength(const FileReply& message, qint64 lines, QByteArray* text)
{
    // The first read is sized for a header and a few lines, what TOP is mostly asked for; a
    // larger one reads and copies bytes for nothing (TOP of 100 KB messages spent most of its
    // time there). Further reads take larger pieces, and what the caller may want is kept.
    static constexpr qsizetype First = 4 << 10, Piece = 16 << 10, Kept = 16 << 10;
    QByteArray buf;
    const qint64 size = message.length;
    Mail::BodyFinder finder;
    qint64 body = -1;      // where the body starts, once found
    qint64 counted = 0;    // body lines seen
    bool keeping = text;   // buf holds the message from its start, not the last piece only
    const auto ends = [&](qint64 length) {
        if (keeping && length <= buf.size()) {
            buf.truncate(qsizetype(length));
            *text = std::move(buf);
        }
        return length;
    };
    for (qint64 at = 0; at < size;) {
        const qsizetype piece = at == 0 ? First : at < Kept ? Kept - at : Piece;   // the second fills what is kept
        const qsizetype want = qsizetype(std::min<qint64>(piece, size - at));
        keeping = keeping && at + want <= Kept;
        const qsizetype into = keeping ? qsizetype(at) : 0;
        buf.resize(into + want);
        const ssize_t r = ::pread(message.fd, buf.data() + into, size_t(want), message.offset + at);
        buf.truncate(into + std::max<ssize_t>(r, 0));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return ends(at);   // a file that shrank meanwhile
        const char* p = buf.constData() + into;
        ssize_t i = 0;
        if (body < 0) {
            body = finder.Feed(QByteArrayView(p, r));
            if (body >= 0 && lines == 0) return ends(body);
            i = body < 0 ? r : ssize_t(body - at);
        }
        while (i < r) {
            const void* lf = memchr(p + i, '\n', size_t(r - i));
            if (!lf) break;
            i = static_cast<const char*>(lf) - p + 1;
            if (++counted == lines) return ends(at + i);
        }
        at += r;
    }
    return ends(size);
}

QByteArray Read(const QString& folder, const QString& name, qsizetype front, qsizetype back, qint64 expected)
{
    const int fd = ::open(PathOf(folder, name).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        throw FailureFromErrno(errno, name);
    // A read that returns less than it asked for has reached the end: with the size known
    // beforehand and a byte more asked for, a small message takes one read, not a measure and
    // a read. Only a file longer than that is measured.
    qint64 room = expected >= 0 ? expected + 1 : -1;
    bool measured = false;
    QByteArray content;
    qsizetype got = 0;
    for (;;) {
        if (got >= room) {
            struct stat st {};
            if (measured)
                break;   // it grew after it was measured: what was there then
            if (::fstat(fd, &st) != 0) {
                const int err = errno;
                ::close(fd);
                throw FailureFromErrno(err, name);
            }
            measured = true;
            room = st.st_size;
            if (got >= room)
                break;
        }
        if (content.size() < front + room + back)
            content.resize(front + room + back);
        const ssize_t r = ::read(fd, content.data() + front + got, size_t(room - got));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += r;
        if (got < room) break;
    }
    ::close(fd);
    content.truncate(front + got);   // a file that shrank meanwhile gives what is there
    content.remove(0, front);        // the room stays in front, for a prepend
    return content;
}

QStringList Recover()
{
    QStringList lines;
    const QDir users(mdlCommon::UsersFolder());
    for (const QString& box : users.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::NoSymLinks)) {
        const QDir dir(users.filePath(box));
        // The IMAP folders below the mailbox take deliveries too (Junk, APPEND).
        QStringList folders{dir.path()};
        for (QDirIterator it(dir.filePath(QStringLiteral(".imap")), QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks, QDirIterator::Subdirectories); it.hasNext();)
            folders << it.next();
        for (const QString& folder : folders)
            for (const QFileInfo& fi : QDir(folder).entryInfoList({QStringLiteral(".incoming-*")}, QDir::Files | QDir::Hidden | QDir::NoSymLinks)) {
                const QString name = users.relativeFilePath(fi.filePath());
                const qint64 size = fi.size();
                if (::unlink(QFile::encodeName(fi.filePath()).constData()) == 0)
                    lines << QStringLiteral("Removed unfinished delivery Users/%1 (%2 bytes)").arg(name).arg(size);
                else
                    lines << QStringLiteral("Cannot remove unfinished delivery Users/%1: %2").arg(name, QString::fromLocal8Bit(strerror(errno)));
            }
        // No session is alive yet: every mark is one whose session ended without QUIT.
        for (const QFileInfo& fi : dir.entryInfoList({QStringLiteral("*.del")}, QDir::Files | QDir::NoSymLinks)) {
            const QString name = box + QLatin1Char('/') + fi.fileName();
            try {
                Unmark(dir.path(), fi.fileName());
                lines << QStringLiteral("Took back the mark of Users/%1 (its session ended without QUIT)").arg(name);
            } catch (const Failure& f) {
                lines << QStringLiteral("Cannot take back the mark of Users/%1: %2").arg(name, QString::fromUtf8(f.text()));
            }
        }
    }
    return lines;
}

}
