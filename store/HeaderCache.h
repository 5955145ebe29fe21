#pragma once
// Message headers kept in memory once read, so that SEARCH by a header field and FETCH
// ENVELOPE do not read every message file again. Each is kept with what its file was on disk
// (device, inode, size, modification and change times), taken before the file was read, and
// looked at again whenever its folder had a notice of a change since: a file replaced or
// rewritten is read anew, so nothing kept is ever served stale. A file changed moments before
// may change again within the same tick of the file times: it is not kept. Those asked for
// longest ago go first once all of them pass HeldBytes. Event thread only.
#include <QByteArray>
#include <QString>
#include <memory>
#include <optional>

class MailboxIndex;
namespace MailStore { struct Listing; }

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

// The generation of `folder` listed as `listing`: the one it had when last asked with that same
// listing (a later session's index over an unchanged folder), else a new one.
quint64 Generation(const QString& folder, const std::shared_ptr<const MailStore::Listing>& listing);

// Keeps the header and ENVELOPE of `stored` (file `name` of `folder` as stored, dot-stuffed),
// stamped before it was read, in the folder's `generation` (MailboxIndex::Generation).
void Keep(const QString& folder, const QString& name, quint64 generation, const Stamp& stamp, const QByteArray& stored);

// The header of message `uid` of `box` with the blank line after it, as its sender wrote it.
// Throws Failure.
QByteArray Header(const MailboxIndex& box, quint32 uid);
// Its ENVELOPE list, made from the header once and kept beside it. Throws Failure.
QByteArray Envelope(const MailboxIndex& box, quint32 uid);

}
