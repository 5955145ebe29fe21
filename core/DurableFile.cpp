#include "core/DurableFile.h"
#include "core/Failure.h"

#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstdlib>
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

}

QByteArray WriteTemporary(const QString& folder, std::initializer_list<QByteArrayView> parts)
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

int FlushFolder(const QString& folder)
{
    const int dfd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int err = dfd < 0 || ::fsync(dfd) != 0 ? errno : 0;
    if (dfd >= 0)
        ::close(dfd);
    return err;
}

}
