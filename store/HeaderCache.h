#pragma once
// Message headers kept in memory once read, so that SEARCH by a header field and FETCH
// ENVELOPE do not read every message file again. Each is kept under what its file is on disk
// (device, inode, size, modification and change times), taken before the file is read: a file
// replaced or rewritten since is another key, so nothing kept is ever served stale. A file
// changed moments before may change again within the same tick of the file times: it is not
// kept. Those asked for longest ago go first once all of them pass HeldBytes. Event thread only.
#include <QByteArray>
#include <QString>
#include <optional>

class MailboxIndex;

namespace HeaderCache {

inline constexpr qint64 NanosPerSecond = 1000000000;

struct Stamp {
    quint64 device = 0, inode = 0;
    qint64 size = 0, modified = 0, changed = 0;   // nanoseconds since the epoch
    qint64 taken = 0;                             // when it was taken; not part of what the file is
    bool operator==(const Stamp& o) const
    {
        return device == o.device && inode == o.inode && size == o.size && modified == o.modified && changed == o.changed;
    }
};
// What `file` is now; nullopt when it is no regular file.
std::optional<Stamp> StampOf(const QString& file);

// Keeps the header of `stored` (a message file as stored, dot-stuffed) under the stamp its file
// had before it was read.
void Keep(const Stamp& stamp, QByteArrayView stored);

// The header of message `uid` of `box` with the blank line after it, as its sender wrote it.
// Throws Failure.
QByteArray Header(const MailboxIndex& box, quint32 uid);
// Its ENVELOPE list, made from the header once and kept beside it. Throws Failure.
QByteArray Envelope(const MailboxIndex& box, quint32 uid);

}
