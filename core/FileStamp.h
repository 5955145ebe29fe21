#pragma once
// What tells a file that changed on disk from the one read before: size, times and inode.
#include <QFile>
#include <QString>
#include <cerrno>
#include <sys/stat.h>

struct FileStamp {
    bool exists = false;
    qint64 size = 0, mtimeNs = 0, ctimeNs = 0, inode = 0;
    bool operator==(const FileStamp&) const = default;
};

// The file's stamp now; `err` gets the errno when it cannot be looked at (0 otherwise).
inline FileStamp FileStampOf(const QString& path, int* err = nullptr)
{
    struct stat st {};
    FileStamp s;
    const int e = ::stat(QFile::encodeName(path).constData(), &st) != 0 ? errno : 0;
    if (err)
        *err = e;
    if (e)
        return s;
    s.exists = true;
    s.size = st.st_size;
    s.mtimeNs = qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    s.ctimeNs = qint64(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    s.inode = qint64(st.st_ino);
    return s;
}
