// The listings of mailboxes, kept in memory and brought up to date from the system's notices
// of what changed in their folders.
#include "store/MailStore.h"
#include "core/mdlCommon.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QMutex>
#include <map>
#include <set>
#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace MailStore {
namespace {
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

std::shared_ptr<const Listing> ListingOf(const Entries& files, const struct stat& folder)
{
    auto out = std::make_shared<Listing>();
    out->device = folder.st_dev;
    out->inode = folder.st_ino;
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
        if (fd_ >= 0)
            Drain();
        const QByteArray dir = QFile::encodeName(folder);
        struct stat st {};
        if (::lstat(dir.constData(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            Forget(folder);
            return std::make_shared<Listing>();
        }
        if (fd_ < 0)
            return ListingOf(Scan(folder), st);   // no notices: read the folder every time
        Box& b = boxes_[folder];
        if (b.watch < 0 || b.dev != st.st_dev || b.ino != st.st_ino) {
            // First listing, or another folder now has this name. The watch comes before the
            // scan: what changes meanwhile is reported and looked at again next time.
            Forget(folder);
            const int w = ::inotify_add_watch(fd_, dir.constData(), Events | IN_ONLYDIR | IN_DONT_FOLLOW);
            if (w < 0 || watched_.contains(w)) {
                boxes_.remove(folder);   // watches used up, or another path to a watched folder
                return ListingOf(Scan(folder), st);
            }
            Box& fresh = boxes_[folder];
            fresh.watch = w;
            fresh.dev = st.st_dev;
            fresh.ino = st.st_ino;
            watched_.insert(w, folder);
            return Current(fresh, folder, st);
        }
        return Current(b, folder, st);
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

    std::shared_ptr<const Listing> Current(Box& b, const QString& folder, const struct stat& st)
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
            b.listing = ListingOf(b.files, st);
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
            // Room was left for another notice: there was none, and asking again would only
            // be told so (after a FETCH, the one notice of the index journal's write).
            if (n < ssize_t(sizeof buf - sizeof(inotify_event) - NAME_MAX - 1))
                return;
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

}
