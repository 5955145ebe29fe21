#include "store/HeaderCache.h"
#include "core/Failure.h"
#include "mail/Header.h"
#include "mail/Mime.h"
#include "store/MailboxIndex.h"
#include "store/MailStore.h"

#include <QCache>
#include <QHash>
#include <QFile>
#include <ctime>
#include <sys/stat.h>

namespace HeaderCache {
namespace {

// Bytes of headers and envelopes kept over all folders.
constexpr qsizetype HeldBytes = 32 * 1024 * 1024;
// A file changed this recently is not kept: file times move in ticks of a few milliseconds, so
// a second change within the tick would look the same.
constexpr qint64 SettleNanos = 100 * 1000 * 1000;

struct Key {
    QString folder, name;
    bool operator==(const Key&) const = default;
};

size_t qHash(const Key& k, size_t seed = 0) { return qHashMulti(seed, k.folder, k.name); }

struct Held {
    Stamp stamp;
    quint64 generation = 0;   // of its folder when the stamp was last found the same
    QByteArray header;
    QByteArray envelope;      // empty until asked for
};

QCache<Key, Held>& Cache()
{
    static QCache<Key, Held> held(HeldBytes);
    return held;
}

// Keeps `h` (one too big to keep is dropped); the pointer stays good until the next Put.
Held* Put(const Key& key, Held h)
{
    if (h.stamp.changed > h.stamp.taken - SettleNanos)
        return nullptr;
    const qsizetype cost = qsizetype(sizeof(Held) + sizeof(Key)) + (key.folder.size() + key.name.size()) * qsizetype(sizeof(QChar))
                         + h.header.size() + h.envelope.size();
    Held* kept = new Held(std::move(h));
    return Cache().insert(key, kept, cost) ? kept : nullptr;
}

// Message `uid` as kept, or else read into `fresh` (and kept when it may be).
Held* Lookup(const MailboxIndex& box, quint32 uid, Key& key, Held& fresh)
{
    const IndexEntry* e = box.Find(uid);
    if (!e)
        throw Failure(Err::FileNotFound, QStringLiteral("No such message"));
    key = Key{box.Path(), e->name};
    Held* h = Cache().object(key);
    if (h && h->generation == box.Generation())
        return h;
    // A file POP3 has marked is read by its other name: unstamped, it is read each time.
    const std::optional<Stamp> stamp = StampOf(key.folder + QLatin1Char('/') + key.name);
    if (h && stamp && *stamp == h->stamp) {
        h->generation = box.Generation();
        return h;
    }
    const QByteArray text = box.Text(uid);
    fresh = Held{stamp.value_or(Stamp{}), box.Generation(), text.left(Mail::Header(text).BodyStart()), {}};
    return stamp ? Put(key, fresh) : nullptr;
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

quint64 Generation(const QString& folder, const std::shared_ptr<const MailStore::Listing>& listing)
{
    // What was found the same under a listing still is: a new index over it need not stat
    // every file again before its first FETCH.
    static quint64 last = 0;
    static QHash<QString, std::pair<std::weak_ptr<const MailStore::Listing>, quint64>> known;
    auto& [seen, generation] = known[folder];
    if (!listing || seen.lock() != listing) {
        seen = listing;
        generation = ++last;
    }
    return generation;
}

void Keep(const QString& folder, const QString& name, quint64 generation, const Stamp& stamp, const QByteArray& stored)
{
    const QByteArray head = Mail::Unstuffed(QByteArrayView(stored).first(Mail::Header(stored).BodyStart()));
    Put(Key{folder, name}, Held{stamp, generation, head, Mime::Envelope(head)});
}

QByteArray Header(const MailboxIndex& box, quint32 uid)
{
    Key key;
    Held fresh;
    const Held* h = Lookup(box, uid, key, fresh);
    return h ? h->header : fresh.header;
}

QByteArray Envelope(const MailboxIndex& box, quint32 uid)
{
    Key key;
    Held fresh;
    const Held* h = Lookup(box, uid, key, fresh);
    if (h && !h->envelope.isEmpty())
        return h->envelope;
    Held made = h ? *h : fresh;
    made.envelope = Mime::Envelope(made.header);
    if (h)
        Put(key, made);   // again, at its new cost
    return made.envelope;
}

}
