#include "store/HeaderCache.h"
#include "core/Failure.h"
#include "mail/Header.h"
#include "mail/Mime.h"
#include "store/MailboxIndex.h"

#include <QCache>
#include <QFile>
#include <ctime>
#include <sys/stat.h>

namespace HeaderCache {

size_t qHash(const Stamp& s, size_t seed = 0) { return qHashMulti(seed, s.device, s.inode, s.size, s.modified, s.changed); }

namespace {

// Bytes of headers and envelopes kept over all folders.
constexpr qsizetype HeldBytes = 32 * 1024 * 1024;
// A file changed this recently is not kept: file times move in ticks of a few milliseconds, so
// a second change within the tick would look the same.
constexpr qint64 SettleNanos = 100 * 1000 * 1000;

struct Held {
    QByteArray header;
    QByteArray envelope;   // empty until asked for
    qsizetype Cost() const { return qsizetype(sizeof(Held) + sizeof(Stamp)) + header.size() + envelope.size(); }
};

QCache<Stamp, Held>& Cache()
{
    static QCache<Stamp, Held> held(HeldBytes);
    return held;
}

// Keeps `h` (one too big to keep is dropped); the pointer stays good until the next Put.
Held* Put(const Stamp& stamp, Held h)
{
    if (stamp.changed > stamp.taken - SettleNanos)
        return nullptr;
    Held* kept = new Held(std::move(h));
    const qsizetype cost = kept->Cost();
    return Cache().insert(stamp, kept, cost) ? kept : nullptr;
}

// Message `uid` as kept, or else read into `fresh` (and kept under `stamp` when it fits).
Held* Lookup(const MailboxIndex& box, quint32 uid, std::optional<Stamp>& stamp, Held& fresh)
{
    const IndexEntry* e = box.Find(uid);
    if (!e)
        throw Failure(Err::FileNotFound, QStringLiteral("No such message"));
    // A file POP3 has marked is read by its other name: unstamped, it is read each time.
    stamp = StampOf(box.Path() + QLatin1Char('/') + e->name);
    if (stamp)
        if (Held* h = Cache().object(*stamp))
            return h;
    const QByteArray text = box.Text(uid);
    fresh.header = text.left(Mail::Header(text).BodyStart());
    return stamp ? Put(*stamp, fresh) : nullptr;
}

}

std::optional<Stamp> StampOf(const QString& file)
{
    timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    struct stat st {};
    if (::lstat(QFile::encodeName(file).constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    return Stamp{quint64(st.st_dev), quint64(st.st_ino), qint64(st.st_size), st.st_mtim.tv_sec * NanosPerSecond + st.st_mtim.tv_nsec,
                 st.st_ctim.tv_sec * NanosPerSecond + st.st_ctim.tv_nsec, now.tv_sec * NanosPerSecond + now.tv_nsec};
}

void Keep(const Stamp& stamp, QByteArrayView stored)
{
    const QByteArray head = stored.first(Mail::Header(stored.toByteArray()).BodyStart()).toByteArray();
    Put(stamp, Held{Mail::Unstuffed(head), {}});
}

QByteArray Header(const MailboxIndex& box, quint32 uid)
{
    std::optional<Stamp> stamp;
    Held fresh;
    const Held* h = Lookup(box, uid, stamp, fresh);
    return h ? h->header : fresh.header;
}

QByteArray Envelope(const MailboxIndex& box, quint32 uid)
{
    std::optional<Stamp> stamp;
    Held fresh;
    const Held* h = Lookup(box, uid, stamp, fresh);
    if (h && !h->envelope.isEmpty())
        return h->envelope;
    Held made = h ? *h : fresh;
    made.envelope = Mime::Envelope(made.header);
    if (stamp)
        Put(*stamp, made);   // again, at its new cost
    return made.envelope;
}

}
