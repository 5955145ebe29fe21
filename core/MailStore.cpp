#include "core/MailStore.h"
#include "core/Failure.h"
#include "core/mdlCommon.h"

#include <QDir>
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

QString Store(const QString& folder, const QByteArray& head, const QByteArray& text, const QDateTime& when)
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
        ::fchmod(fd, 0600);   // mail is its owner's alone, whatever the umask
        WriteAll(fd, head.constData(), head.size(), tmpPath);
        WriteAll(fd, text.constData(), text.size(), tmpPath);
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
            // The name is on disk only once its folder is: if that fails, the sender tries again.
            if (const int err = FlushFolder(folder)) {
                ::unlink(target.constData());
                throw FailureFromErrno(err, folder);
            }
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

int FlushFolder(const QString& folder)
{
    const int dfd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int err = dfd < 0 || ::fsync(dfd) != 0 ? errno : 0;
    if (dfd >= 0)
        ::close(dfd);
    return err;
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

// Calls `f` for every entry of `folder` whose name ends in `suffix`.
template <typename F>
void ForEachEntry(const QString& folder, const char* suffix, F f)
{
    DIR* dir = ::opendir(QFile::encodeName(folder).constData());
    if (!dir)
        return;
    const size_t n = strlen(suffix);
    while (const dirent* e = ::readdir(dir)) {
        const size_t len = strlen(e->d_name);
        if (len >= n && memcmp(e->d_name + len - n, suffix, n) == 0)
            f(::dirfd(dir), e->d_name);
    }
    ::closedir(dir);
}
}

namespace {
// The "eml" entries of a folder that are regular files: name as stored -> message.
using Entries = std::map<QByteArray, Message>;

bool Listed(const char* name, size_t len) { return len >= 3 && memcmp(name + len - 3, "eml", 3) == 0; }

// Puts `name` in or out of `files` as the folder holds it now; `path` is where it is, from `dfd`.
void Restat(int dfd, const char* path, const QByteArray& name, Entries& files)
{
    struct stat st {};
    if (::fstatat(dfd, path, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
        files.insert_or_assign(name, Message{QFile::decodeName(name), qint64(st.st_size)});
    else
        files.erase(name);
}

Entries Scan(const QString& folder)
{
    // Only names ending in "eml" are looked at more closely.
    Entries found;
    ForEachEntry(folder, "eml", [&](int dfd, const char* name) { Restat(dfd, name, QByteArray(name), found); });
    return found;
}

std::shared_ptr<const Listing> ListingOf(const Entries& files)
{
    auto out = std::make_shared<Listing>();
    out->messages.reserve(files.size());
    for (const auto& [raw, m] : files) {   // ascending names are arrival order
        out->messages.push_back(m);
        out->bytes += m.size;
    }
    return out;
}

// Mailboxes listed before, each with an inotify watch on its folder. What the watches
// report is read at the next listing; a name reported is looked at again then, so notices
// of our own deliveries, marks and purges and of other programs' changes are all one case.
class Listings {
public:
    std::shared_ptr<const Listing> Get(const QString& folder)
    {
        QMutexLocker lock(&mutex_);
        if (fd_ == -2)
            fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd_ < 0)
            return ListingOf(Scan(folder));   // no notices: read the folder every time
        Drain();
        const QByteArray dir = QFile::encodeName(folder);
        struct stat st {};
        if (::lstat(dir.constData(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            Forget(folder);
            return std::make_shared<Listing>();
        }
        Box& b = boxes_[folder];
        if (b.watch < 0 || b.dev != st.st_dev || b.ino != st.st_ino) {
            // First listing, or another folder now has this name. The watch comes before the
            // scan: what changes meanwhile is reported and looked at again next time.
            Forget(folder);
            const int w = ::inotify_add_watch(fd_, dir.constData(), Events | IN_ONLYDIR | IN_DONT_FOLLOW);
            if (w < 0 || watched_.contains(w)) {
                boxes_.remove(folder);   // watches used up, or another path to a watched folder
                return ListingOf(Scan(folder));
            }
            Box& fresh = boxes_[folder];
            fresh.watch = w;
            fresh.dev = st.st_dev;
            fresh.ino = st.st_ino;
            watched_.insert(w, folder);
            return Current(fresh, folder);
        }
        return Current(b, folder);
    }

private:
    static constexpr uint32_t Events = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY | IN_CLOSE_WRITE
                                     | IN_DELETE_SELF | IN_MOVE_SELF;
    // Most messages kept listed over all mailboxes, and most folders watched (the system's
    // watches are few and shared by the user's programs); those listed longest ago go first.
    static constexpr size_t MaxHeld = 200000;
    static constexpr qsizetype MaxBoxes = 4096;

    struct Box {
        int watch = -1;
        dev_t dev = 0;
        ino_t ino = 0;
        bool current = false;            // files is the folder but for the names in changed
        Entries files;
        std::set<QByteArray> changed;
        std::shared_ptr<const Listing> listing;   // made from files; null once they change
        quint64 used = 0;
    };

    std::shared_ptr<const Listing> Current(Box& b, const QString& folder)
    {
        if (!b.current) {
            held_ -= b.files.size();
            b.files = Scan(folder);
            held_ += b.files.size();
            b.changed.clear();
            b.current = true;
            b.listing.reset();
        } else if (!b.changed.empty()) {
            const QByteArray dir = QFile::encodeName(folder);
            held_ -= b.files.size();
            for (const QByteArray& name : b.changed)
                Restat(AT_FDCWD, (dir + '/' + name).constData(), name, b.files);
            held_ += b.files.size();
            b.changed.clear();
            b.listing.reset();
        }
        if (!b.listing)
            b.listing = ListingOf(b.files);
        b.used = ++clock_;
        auto keep = b.listing;   // Evict may move the boxes
        Evict(folder);
        return keep;
    }

    void Drain()
    {
        alignas(inotify_event) char buf[64 * 1024];
        for (;;) {
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return;
            for (ssize_t at = 0; at < n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
                at += ssize_t(sizeof(inotify_event) + e->len);
                if (e->mask & IN_Q_OVERFLOW) {   // notices were lost: read every folder again
                    for (Box& b : boxes_)
                        b.current = false;
                    continue;
                }
                const auto w = watched_.constFind(e->wd);
                const auto box = w == watched_.constEnd() ? boxes_.end() : boxes_.find(*w);
                if (box == boxes_.end())
                    continue;
                Box& b = *box;
                if (e->mask & IN_IGNORED) {   // the folder is gone, and its watch with it
                    held_ -= b.files.size();
                    boxes_.erase(box);
                    watched_.erase(w);
                } else if (e->mask & (IN_DELETE_SELF | IN_MOVE_SELF)) {
                    b.current = false;
                } else if (b.current && e->len > 0) {
                    const size_t len = strnlen(e->name, e->len);
                    if (!Listed(e->name, len))
                        continue;
                    b.changed.emplace(e->name, qsizetype(len));
                    if (b.changed.size() > 1000 + b.files.size())
                        b.current = false;   // reading the folder is cheaper by now
                }
            }
        }
    }

    void Forget(const QString& folder)
    {
        const auto b = boxes_.find(folder);
        if (b == boxes_.end())
            return;
        if (b->watch >= 0) {
            ::inotify_rm_watch(fd_, b->watch);
            watched_.remove(b->watch);
        }
        held_ -= b->files.size();
        boxes_.erase(b);
    }

    void Evict(const QString& keep)
    {
        while ((held_ > MaxHeld || boxes_.size() > MaxBoxes) && boxes_.size() > 1) {
            QString oldest;
            quint64 when = ~quint64(0);
            for (auto b = boxes_.cbegin(); b != boxes_.cend(); ++b)
                if (b.key() != keep && b->used < when) {
                    when = b->used;
                    oldest = b.key();
                }
            Forget(oldest);
        }
    }

    QMutex mutex_;
    int fd_ = -2;   // the inotify instance; -1 when there is none
    QHash<QString, Box> boxes_;
    QHash<int, QString> watched_;
    size_t held_ = 0;
    quint64 clock_ = 0;
};
}

std::shared_ptr<const Listing> List(const QString& folder)
{
    static Listings listings;
    return listings.Get(folder);
}

std::pair<int, qint64> ListAll()
{
    int folders = 0;
    qint64 messages = 0;
    for (const QString& box : QDir(mdlCommon::UsersFolder()).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::NoSymLinks)) {
        const QString folder = MailboxFolder(box);
        if (folder.isEmpty())
            continue;
        ++folders;
        messages += qint64(List(folder)->messages.size());
    }
    return {folders, messages};
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

QByteArray Read(const QString& folder, const QString& name, qsizetype front, qsizetype back)
{
    const int fd = ::open(PathOf(folder, name).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        throw FailureFromErrno(errno, name);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int err = errno;
        ::close(fd);
        throw FailureFromErrno(err, name);
    }
    QByteArray content(front + st.st_size + back, Qt::Uninitialized);
    qsizetype got = 0;
    while (got < st.st_size) {
        const ssize_t r = ::read(fd, content.data() + front + got, size_t(st.st_size - got));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += r;
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
        for (const QFileInfo& fi : dir.entryInfoList({QStringLiteral(".incoming-*")}, QDir::Files | QDir::Hidden | QDir::NoSymLinks)) {
            const QString name = box + QLatin1Char('/') + fi.fileName();
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
