#include "core/DurableFile.h"
#include "core/Failure.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <mutex>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace DurableFile {
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

int FlushOne(const QString& folder)
{
    const int dfd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int err = dfd < 0 || ::fsync(dfd) != 0 ? errno : 0;
    if (dfd >= 0)
        ::close(dfd);
    return err;
}

// Folder flushes asked for while another is under way wait for it to end, then the first of
// them flushes every folder asked for meanwhile once, for all: messages that end together share
// one flush of their mailbox. A request is met only by a flush begun after it was made.
struct FolderRequest {
    QString folder;
    int err = 0;
    bool done = false;
};
std::mutex flushing;
std::condition_variable flushed;
std::vector<FolderRequest*> asked;
bool underWay = false;

}

int FlushFolders(const QStringList& folders)
{
    std::vector<FolderRequest> mine;
    mine.reserve(size_t(folders.size()));
    for (const QString& f : folders)
        mine.push_back({f});
    std::unique_lock lock(flushing);
    for (FolderRequest& r : mine)
        asked.push_back(&r);
    const auto met = [&mine] { return std::all_of(mine.begin(), mine.end(), [](const FolderRequest& r) { return r.done; }); };
    while (!met()) {
        if (underWay) {
            flushed.wait(lock);
            continue;
        }
        underWay = true;
        const std::vector<FolderRequest*> batch = std::exchange(asked, {});
        lock.unlock();
        std::map<QString, int> result;
        for (const FolderRequest* r : batch)
            if (const auto [it, fresh] = result.try_emplace(r->folder, 0); fresh)
                it->second = FlushOne(r->folder);
        lock.lock();
        for (FolderRequest* r : batch) {
            r->err = result[r->folder];
            r->done = true;
        }
        underWay = false;
        flushed.notify_all();
    }
    for (const FolderRequest& r : mine)
        if (r.err)
            return r.err;
    return 0;
}

int FlushFolder(const QString& folder) { return FlushFolders({folder}); }

QByteArray WriteTemporary(const QString& folder, std::initializer_list<QByteArrayView> parts, bool flush)
{
    QByteArray tmp = QFile::encodeName(folder) + "/.incoming-XXXXXX.tmp";
    const int fd = ::mkstemps(tmp.data(), 4);
    if (fd < 0)
        throw FailureFromErrno(errno, folder);
    const QString tmpPath = QFile::decodeName(tmp);
    try {
        ::fchmod(fd, 0600);   // mail is its owner's alone, whatever the umask
        for (const QByteArrayView part : parts)
            WriteAll(fd, part.data(), part.size(), tmpPath);
        if (flush && ::fsync(fd) != 0)
            throw FailureFromErrno(errno, tmpPath);
        // Not flushed: the writing begins now, and FlushFiles waits for it with the others'
        // (where the file system cannot be asked to begin, FlushFiles does it all).
        if (!flush)
            ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
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
    return tmp;
}

int LinkNew(const QByteArray& temporary, const QByteArray& target)
{
    return ::link(temporary.constData(), target.constData()) == 0 ? 0 : errno;
}

void Replace(const QString& path, const QByteArray& content, bool durable, bool ownerOnly)
{
    const QFileInfo info(path);
    const QByteArray target = QFile::encodeName(path);
    const QByteArray tmp = target + ".tmp";
    struct stat old {};
    const mode_t mode = !ownerOnly && ::stat(target.constData(), &old) == 0 ? (old.st_mode & 07777) : 0600;
    const int fd = ::open(tmp.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        throw FailureFromErrno(errno, path);
    int err = 0;
    try {
        ::fchmod(fd, mode);
        WriteAll(fd, content.constData(), content.size(), path);
    } catch (const Failure&) {
        err = errno ? errno : EIO;
    }
    if (!err && durable && ::fsync(fd) != 0) err = errno;
    if (::close(fd) != 0 && !err) err = errno;
    if (!err && ::rename(tmp.constData(), target.constData()) != 0) err = errno;
    if (!err && durable) err = FlushFolder(info.absolutePath());
    if (err) {
        ::unlink(tmp.constData());
        throw FailureFromErrno(err, path);
    }
}

int FlushFiles(const std::vector<QByteArray>& paths)
{
    for (const QByteArray& path : paths) {
        const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        const int err = fd < 0 || ::fdatasync(fd) != 0 ? errno : 0;
        if (fd >= 0)
            ::close(fd);
        if (err)
            return err;
    }
    return 0;
}

}
