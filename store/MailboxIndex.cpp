#include "store/MailboxIndex.h"
#include "core/DurableFile.h"
#include "core/Failure.h"
#include "mail/Header.h"
#include "store/Folders.h"
#include "store/HeaderCache.h"
#include "store/IndexFile.h"
#include "store/MailStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QTimer>
#include <algorithm>
#include <map>
#include <set>
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// How often a watched folder is looked at for files changed by others.
constexpr int WatchIntervalMs = 500;
// Flag changes reach the disk this long after they are made, many with one sync.
constexpr int FlagSyncMs = 1000;
// The journal is folded into the snapshot once it holds more records than this plus one per message.
constexpr qsizetype JournalSlack = 1000;

const char* const SystemFlags[] = {"\\Seen", "\\Answered", "\\Flagged", "\\Deleted", "\\Draft"};

// A system flag in its usual spelling; a keyword as it is.
QByteArray Spelled(const QByteArray& flag)
{
    for (const char* f : SystemFlags)
        if (flag.compare(f, Qt::CaseInsensitive) == 0)
            return f;
    return flag;
}

bool Contains(const QList<QByteArray>& flags, QByteArrayView flag)
{
    return std::any_of(flags.begin(), flags.end(), [&](const QByteArray& f) { return f.compare(flag, Qt::CaseInsensitive) == 0; });
}

// A new UIDVALIDITY: the present second, but always above any this process gave and above `old`.
quint32 NewValidity(quint32 old)
{
    static quint32 last = 0;
    last = std::max({quint32(QDateTime::currentSecsSinceEpoch()), last + 1, old + 1});
    return last;
}

// The stored form's lines that start with a dot carry one more than the sender wrote.
qint64 SenderSize(const QByteArray& stored)
{
    qint64 dots = stored.startsWith('.') ? 1 : 0;
    for (qsizetype at = stored.indexOf("\n."); at >= 0; at = stored.indexOf("\n.", at + 2))
        ++dots;
    return stored.size() - dots;
}

// The size and arrival of a file first seen, its header kept while it is read anyway (the first
// FETCH ENVELOPE need not read it again); false when it is gone again already.
bool Measure(const QString& folder, IndexEntry& e, quint64 generation)
{
    const auto stamp = HeaderCache::StampOf(folder + QLatin1Char('/') + e.name);   // before it is read
    if (!stamp)
        return false;
    try {
        const QByteArray stored = MailStore::Read(folder, e.name);
        e.size = SenderSize(stored);
        HeaderCache::Keep(folder, e.name, generation, *stamp, stored);
    } catch (const Failure&) {
        return false;
    }
    e.internalDate = stamp->modified / HeaderCache::NanosPerSecond;
    return true;
}

QString Marked(const QString& name) { return name.chopped(3) + QLatin1String("del"); }

bool Exists(const QString& folder, const QString& name)
{
    struct stat st {};
    return ::lstat(QFile::encodeName(folder + QLatin1Char('/') + name).constData(), &st) == 0 && S_ISREG(st.st_mode);
}

// A folder by what it is on disk, whatever its name: a folder renamed keeps its index.
using FolderId = std::pair<dev_t, ino_t>;

FolderId IdOf(const QString& path)
{
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return {};
    return {st.st_dev, st.st_ino};
}

std::map<FolderId, std::weak_ptr<MailboxIndex>>& Open_()
{
    static std::map<FolderId, std::weak_ptr<MailboxIndex>> open;
    return open;
}

}

bool IndexEntry::Has(QByteArrayView flag) const { return Contains(flags, flag); }

struct MailboxIndex::State {
    QString path;
    FolderId id;
    IndexData data;
    IndexFile::Journal journal;
    qsizetype journalRecords = 0;
    ino_t snapshot = 0;                                // the snapshot file this index wrote last
    QHash<QString, quint32> byName;
    std::set<quint32> marked;                          // present only as ".del": a POP3 session has them marked
    std::shared_ptr<const MailStore::Listing> seen;    // the listing last compared with
    quint64 generation = 0;                            // a new one with each new listing
    std::map<int, std::function<void()>> watchers;
    int nextWatcher = 0;
    std::unique_ptr<QTimer> timer;
    std::unique_ptr<QTimer> syncTimer;
    std::weak_ptr<MailboxIndex> self;

    ino_t SnapshotInode() const
    {
        struct stat st {};
        return ::lstat(QFile::encodeName(path + QStringLiteral("/.imap-index")).constData(), &st) == 0 ? st.st_ino : 0;
    }

    void Save()
    {
        IndexFile::Save(path, data);
        journal.Open(path, 0);
        journalRecords = 0;
        snapshot = SnapshotInode();
    }

    // On disk before the change is told, unless `durable` is false: then within FlagSyncMs.
    void Write(const QByteArray& records, qsizetype count, bool durable = true)
    {
        journal.Append(records, durable);
        journalRecords += count;
        if (durable)
            return;
        if (!syncTimer) {
            syncTimer = std::make_unique<QTimer>();
            syncTimer->setSingleShot(true);
            syncTimer->setInterval(FlagSyncMs);
            QObject::connect(syncTimer.get(), &QTimer::timeout, [this] { journal.Sync(); });
        }
        if (!syncTimer->isActive())
            syncTimer->start();
    }

    // Once the change is in `data`: the journal is folded into the snapshot when it has grown.
    void Settle()
    {
        if (journalRecords <= JournalSlack + qsizetype(data.entries.size()))
            return;
        try { Save(); } catch (const Failure&) {}   // the journal holds it all still
    }

    void Forget(quint32 uid, quint64 modseq)
    {
        if (const IndexEntry* e = data.Find(uid))
            byName.remove(e->name);
        marked.erase(uid);
        data.Remove(uid, modseq);
    }

    bool Reconcile(const MailStore::Listing& listing, const QHash<QString, IndexEntry>& salvage = {});
    void Notify();

    // The UID of a message just stored under `name`, on disk before it is told. Throws
    // Failure, the file removed again.
    quint32 Add(const QString& name, const QList<QByteArray>& flags, qint64 date, qint64 size)
    {
        IndexEntry e{data.uidNext, name, data.highestModSeq + 1, flags, date, size};
        IndexData next;
        next.uidNext = e.uid + 1;
        next.highestModSeq = e.modseq;
        try {
            Write(IndexFile::NextRecord(next) + IndexFile::EntryRecord(e), 2);
        } catch (const Failure&) {
            MailStore::Discard(path, name);
            throw;
        }
        byName.insert(name, e.uid);
        data.Put(e);
        Notify();
        return e.uid;
    }
};

MailboxIndex::MailboxIndex(const QString& path) : d_(std::make_unique<State>()) { d_->path = path; }

MailboxIndex::~MailboxIndex()
{
    const auto at = Open_().find(d_->id);
    if (at != Open_().end() && at->second.expired())
        Open_().erase(at);
}

std::shared_ptr<MailboxIndex> MailboxIndex::Open(const QString& path)
{
    const QString key = QDir::cleanPath(path);
    const FolderId id = IdOf(key);
    if (id == FolderId{})
        throw Failure(Err::FileNotFound, QStringLiteral("No such mailbox"));
    if (QFileInfo::exists(key + QLatin1Char('/') + QLatin1String(Folders::NoselectMark)))
        throw Failure(Err::PathAccess, QStringLiteral("Mailbox cannot be selected"));
    if (auto live = Open_()[id].lock()) {
        if (live->d_->path != key) {   // renamed since
            live->d_->path = key;
            live->d_->seen.reset();
        }
        if (live->d_->snapshot == live->d_->SnapshotInode())
            return live;   // else its index files went (a folder deleted and made again): a fresh index
    }
    std::shared_ptr<MailboxIndex> index(new MailboxIndex(key));
    State& s = *index->d_;
    s.self = index;
    s.id = id;
    qint64 journalLength = 0;
    const IndexFile::Loaded loaded = IndexFile::Load(key, s.data, journalLength, s.journalRecords);
    QHash<QString, IndexEntry> salvage;   // what a damaged index still tells of its files
    if (loaded != IndexFile::Loaded::Good) {
        for (const IndexEntry& e : s.data.entries)
            salvage.insert(e.name, e);
        const quint32 old = loaded == IndexFile::Loaded::Damaged ? s.data.uidValidity : 0;
        s.data = IndexData{};
        s.data.uidValidity = NewValidity(old);
    }
    for (const IndexEntry& e : s.data.entries)
        s.byName.insert(e.name, e.uid);
    if (loaded == IndexFile::Loaded::Good) {
        s.journal.Open(key, journalLength);
        s.snapshot = s.SnapshotInode();
    } else {
        s.Save();   // the new UIDVALIDITY on disk before any UID under it
    }
    s.seen = MailStore::List(key);
    s.generation = HeaderCache::Generation(s.path, s.seen);
    s.Reconcile(*s.seen, salvage);
    s.Settle();
    Open_()[id] = index;
    return index;
}

QString MailboxIndex::Path() const { return d_->path; }
quint32 MailboxIndex::UidValidity() const { return d_->data.uidValidity; }
quint32 MailboxIndex::UidNext() const { return d_->data.uidNext; }
quint64 MailboxIndex::HighestModSeq() const { return d_->data.highestModSeq; }
quint64 MailboxIndex::Generation() const { return d_->generation; }
const std::vector<IndexEntry>& MailboxIndex::Entries() const { return d_->data.entries; }
const IndexEntry* MailboxIndex::Find(quint32 uid) const { return d_->data.Find(uid); }

// Brings the entries in line with the files: a file gone is removed (unless POP3 has it
// marked), a file new gets the next UID, in the order of the names.
bool MailboxIndex::State::Reconcile(const MailStore::Listing& listing, const QHash<QString, IndexEntry>& salvage)
{
    QSet<QString> present;
    present.reserve(qsizetype(listing.messages.size()));
    QList<quint32> gone;
    std::vector<IndexEntry> added;
    for (const MailStore::Message& m : listing.messages) {
        present.insert(m.name);
        if (byName.contains(m.name))
            continue;
        IndexEntry e = salvage.value(m.name);
        e.name = m.name;
        if (e.internalDate != 0 || Measure(path, e, generation))
            added.push_back(std::move(e));
    }
    for (const IndexEntry& e : data.entries) {
        if (present.contains(e.name))
            marked.erase(e.uid);
        else if (Exists(path, Marked(e.name)))
            marked.insert(e.uid);
        else
            gone << e.uid;
    }
    if (gone.isEmpty() && added.empty())
        return false;
    QByteArray records;
    const quint64 modseq = ++data.highestModSeq;
    for (const quint32 uid : gone) {
        Forget(uid, modseq);
        records += IndexFile::RemovedRecord(uid, modseq);
    }
    data.Prune();
    const quint32 first = data.uidNext;
    for (IndexEntry& e : added) {
        e.uid = data.uidNext++;
        e.modseq = modseq;
        records += IndexFile::EntryRecord(e);
        data.Put(e);
    }
    try {
        Write(IndexFile::NextRecord(data) + records, qsizetype(gone.size() + added.size()) + 1);
    } catch (const Failure&) {
        if (added.empty())
            return true;   // the files are gone whether it is written or not
        // No UID is shown that is not on disk: the new files wait for the next look.
        data.entries.erase(std::find_if(data.entries.begin(), data.entries.end(), [&](const IndexEntry& e) { return e.uid >= first; }),
                           data.entries.end());
        data.uidNext = first;
        seen.reset();
        return !gone.isEmpty();
    }
    for (const IndexEntry& e : added)
        byName.insert(e.name, e.uid);
    return true;
}

bool MailboxIndex::Refresh()
{
    State& s = *d_;
    const auto listing = MailStore::List(s.path);
    if (FolderId(listing->device, listing->inode) != s.id)
        return false;   // moved away or gone: nothing more is told until it is opened by its name
    if (listing == s.seen && s.marked.empty())
        return false;
    s.seen = listing;
    s.generation = HeaderCache::Generation(s.path, s.seen);
    if (!s.Reconcile(*listing))
        return false;
    s.Notify();
    return true;
}

void MailboxIndex::State::Notify()
{
    Settle();
    const auto keep = self.lock();   // a watcher may drop the last other hold on the index
    const auto now = watchers;
    for (const auto& [id, changed] : now)
        if (watchers.count(id)) changed();
}

bool MailboxIndex::Store(quint32 uid, FlagMode mode, const QList<QByteArray>& flags, quint64 unchangedSince)
{
    return Store(QList<quint32>{uid}, mode, flags, unchangedSince).isEmpty() && Find(uid);
}

QList<quint32> MailboxIndex::Store(const QList<quint32>& uids, FlagMode mode, const QList<QByteArray>& flags, quint64 unchangedSince)
{
    State& s = *d_;
    QList<quint32> modified;
    QList<QByteArray> spelled;
    for (const QByteArray& f : flags)
        if (!Contains(spelled, f)) spelled << Spelled(f);
    std::vector<IndexEntry> changed;
    for (const quint32 uid : uids) {
        const IndexEntry* e = s.data.Find(uid);
        if (!e)
            continue;
        if (unchangedSince && e->modseq > unchangedSince) {
            modified << uid;
            continue;
        }
        QList<QByteArray> now = mode == FlagMode::Set ? spelled : e->flags;
        for (const QByteArray& f : spelled) {
            if (mode == FlagMode::Add && !Contains(now, f))
                now << f;
            if (mode == FlagMode::Remove)
                now.removeIf([&](const QByteArray& g) { return g.compare(f, Qt::CaseInsensitive) == 0; });
        }
        const bool same = now.size() == e->flags.size()
                       && std::all_of(now.begin(), now.end(), [&](const QByteArray& f) { return e->Has(f); });
        if (!same) {
            changed.push_back(*e);
            changed.back().flags = now;
        }
    }
    if (changed.empty())
        return modified;
    const quint64 modseq = s.data.highestModSeq + 1;
    QByteArray records;
    for (IndexEntry& e : changed) {
        e.modseq = modseq;
        records += IndexFile::EntryRecord(e);
    }
    s.Write(records, qsizetype(changed.size()), false);   // throws: nothing changed
    s.data.highestModSeq = modseq;
    for (IndexEntry& e : changed)
        s.data.Put(std::move(e));
    s.Notify();
    return modified;
}

quint32 MailboxIndex::Append(const QByteArray& text, const QList<QByteArray>& flags, const QDateTime& internalDate)
{
    QList<QByteArray> spelled;
    for (const QByteArray& f : flags)
        if (!Contains(spelled, f)) spelled << Spelled(f);
    const QString name = MailStore::Store(d_->path, Mail::Stuffed(text));
    return d_->Add(name, spelled, internalDate.isValid() ? internalDate.toSecsSinceEpoch() : QDateTime::currentSecsSinceEpoch(),
               text.size());
}

quint32 MailboxIndex::CopyTo(quint32 uid, MailboxIndex& target)
{
    const IndexEntry* e = Find(uid);
    if (!e)
        throw Failure(Err::FileNotFound, QStringLiteral("No such message"));
    const IndexEntry source = *e;   // the target may be this index
    QByteArray stored;
    try {
        stored = MailStore::Read(d_->path, source.name);
    } catch (const Failure&) {
        stored = MailStore::Read(d_->path, Marked(source.name));
    }
    const QString name = MailStore::Store(target.d_->path, stored);
    return target.d_->Add(name, source.flags, source.internalDate, source.size);
}

void MailboxIndex::Expunge(const QList<quint32>& uids)
{
    State& s = *d_;
    QList<quint32> removed;
    for (const quint32 uid : uids) {
        const IndexEntry* e = s.data.Find(uid);
        if (!e)
            continue;
        const QByteArray file = QFile::encodeName(s.path + QLatin1Char('/') + e->name);
        const QByteArray marked = QFile::encodeName(s.path + QLatin1Char('/') + Marked(e->name));
        if (::unlink(file.constData()) == 0 || (errno == ENOENT && (::unlink(marked.constData()) == 0 || errno == ENOENT)))
            removed << uid;
    }
    if (removed.isEmpty())
        return;
    if (DurableFile::FlushFolder(s.path) != 0) {}   // the names go whatever the journal says: a crash brings no message back
    const quint64 modseq = s.data.highestModSeq + 1;
    QByteArray records;
    for (const quint32 uid : removed) {
        s.Forget(uid, modseq);
        records += IndexFile::RemovedRecord(uid, modseq);
    }
    s.data.Prune();
    try {
        s.Write(records, removed.size());
    } catch (const Failure&) {
        // A removal not written is found again from the files at the next Open.
    }
    s.Notify();
}

QList<quint32> MailboxIndex::ExpungedSince(quint64 modseq) const { return d_->data.RemovedSince(modseq); }

QByteArray MailboxIndex::Text(quint32 uid) const
{
    const IndexEntry* e = Find(uid);
    if (!e)
        throw Failure(Err::FileNotFound, QStringLiteral("No such message"));
    try {
        return Mail::Unstuffed(MailStore::Read(d_->path, e->name, 0, 0, e->size));
    } catch (const Failure&) {
        return Mail::Unstuffed(MailStore::Read(d_->path, Marked(e->name)));
    }
}

int MailboxIndex::Watch(std::function<void()> changed)
{
    State& s = *d_;
    const int id = ++s.nextWatcher;
    s.watchers.emplace(id, std::move(changed));
    if (!s.timer) {
        s.timer = std::make_unique<QTimer>();
        s.timer->setInterval(WatchIntervalMs);
        QObject::connect(s.timer.get(), &QTimer::timeout, [this] { Refresh(); });
    }
    s.timer->start();
    return id;
}

void MailboxIndex::Unwatch(int id)
{
    State& s = *d_;
    s.watchers.erase(id);
    if (s.watchers.empty() && s.timer)
        s.timer->stop();
}
