#include "store/IndexFile.h"
#include "core/DurableFile.h"
#include "core/Failure.h"

#include <QFile>
#include <algorithm>
#include <charconv>
#include <set>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char Snapshot[] = "/.imap-index";
const char JournalFile[] = "/.imap-journal";
const QByteArray Magic = "tandrivel-index";
constexpr int Version = 1;
constexpr int EntryFields = 6;   // "+", uid, modseq, date, size, name; the flags follow
// Removed UIDs remembered one by one; older removals are remembered as a range.
constexpr size_t MaxTombstones = 10000;

QByteArray Native(const QString& path, const char* file) { return QFile::encodeName(path) + file; }

// Appends a name or flag as one word of a record: blanks, controls and "%" written %XX.
void AppendEscaped(QByteArray& out, QByteArrayView text)
{
    const auto plain = [](char c) { return uchar(c) > ' ' && c != '%' && c != 0x7f; };
    if (std::all_of(text.begin(), text.end(), plain))
        return void(out.append(text));
    for (const char c : text) {
        if (plain(c))
            out += c;
        else
            out += '%' + QByteArray::number(uchar(c), 16).rightJustified(2, '0');
    }
}

QByteArray Unescaped(const QByteArray& word) { return QByteArray::fromPercentEncoding(word); }

template <typename T>
bool Number(const QByteArray& word, T& out)
{
    bool ok = false;
    const qulonglong v = word.toULongLong(&ok);
    out = T(v);
    return ok && qulonglong(out) == v;
}

// Applies one record; false when it is not one.
bool Apply(const QByteArray& line, IndexData& data)
{
    const QList<QByteArray> w = line.split(' ');
    if (w[0] == "n" && w.size() == 3) {
        quint32 next = 0;
        quint64 modseq = 0;
        if (!Number(w[1], next) || !Number(w[2], modseq))
            return false;
        data.uidNext = std::max(data.uidNext, next);
        data.highestModSeq = std::max(data.highestModSeq, modseq);
        return true;
    }
    if (w[0] == "-" && w.size() == 3) {
        quint32 uid = 0;
        quint64 modseq = 0;
        if (!Number(w[1], uid) || !Number(w[2], modseq) || uid == 0)
            return false;
        data.Remove(uid, modseq);
        return true;
    }
    IndexEntry e;
    if (w[0] != "+" || w.size() < EntryFields || !Number(w[1], e.uid) || !Number(w[2], e.modseq) || !Number(w[3], e.internalDate)
        || !Number(w[4], e.size) || e.uid == 0 || e.uid == ~quint32(0))
        return false;
    e.name = QString::fromUtf8(Unescaped(w[5]));
    if (e.name.isEmpty() || e.name.contains(QLatin1Char('/')))
        return false;
    for (qsizetype i = EntryFields; i < w.size(); ++i)
        e.flags << Unescaped(w[i]);
    data.Put(std::move(e));
    return true;
}

bool ReadFile(const QByteArray& path, QByteArray& content)
{
    QFile f(QFile::decodeName(path));
    if (!f.open(QIODevice::ReadOnly))
        return false;
    content = f.readAll();
    return true;
}

bool Header(const QByteArray& line, IndexData& data)
{
    const QList<QByteArray> w = line.split(' ');
    int version = 0;
    return w.size() == 7 && w[0] == Magic && Number(w[1], version) && version == Version && Number(w[2], data.uidValidity)
        && Number(w[3], data.uidNext) && Number(w[4], data.highestModSeq) && Number(w[5], data.prunedUid)
        && Number(w[6], data.prunedModSeq) && data.uidValidity != 0 && data.uidNext != 0;
}

}

IndexEntry* IndexData::Find(quint32 uid)
{
    const auto at = std::lower_bound(entries.begin(), entries.end(), uid, [](const IndexEntry& e, quint32 u) { return e.uid < u; });
    return at != entries.end() && at->uid == uid ? &*at : nullptr;
}

void IndexData::Put(IndexEntry entry)
{
    uidNext = std::max(uidNext, entry.uid + 1);
    highestModSeq = std::max(highestModSeq, entry.modseq);
    if (entries.empty() || entries.back().uid < entry.uid)
        entries.push_back(std::move(entry));   // an index read from disk comes in order
    else if (IndexEntry* e = Find(entry.uid))
        *e = std::move(entry);
    else
        entries.insert(std::lower_bound(entries.begin(), entries.end(), entry.uid, [](const IndexEntry& e, quint32 u) { return e.uid < u; }),
                       std::move(entry));
}

void IndexData::Remove(quint32 uid, quint64 modseq)
{
    const auto at = std::lower_bound(entries.begin(), entries.end(), uid, [](const IndexEntry& e, quint32 u) { return e.uid < u; });
    if (at != entries.end() && at->uid == uid)
        entries.erase(at);
    uidNext = std::max(uidNext, uid + 1);
    highestModSeq = std::max(highestModSeq, modseq);
    tombstones.emplace_back(uid, modseq);
}

void IndexData::Prune()
{
    if (tombstones.size() <= MaxTombstones)
        return;
    const auto keep = tombstones.end() - MaxTombstones / 2;
    for (auto t = tombstones.begin(); t != keep; ++t) {
        prunedUid = std::max(prunedUid, t->first);
        prunedModSeq = std::max(prunedModSeq, t->second);
    }
    tombstones.erase(tombstones.begin(), keep);
}

QList<quint32> IndexData::RemovedSince(quint64 modseq) const
{
    std::set<quint32> out;
    for (const auto& [uid, when] : tombstones)
        if (when > modseq) out.insert(uid);
    if (modseq < prunedModSeq) {
        // Which of the early removals came after `modseq` is no longer known: every UID up to
        // prunedUid that is not here may be one.
        auto e = entries.begin();
        for (quint32 uid = 1; uid <= prunedUid; ++uid) {
            while (e != entries.end() && e->uid < uid)
                ++e;
            if (e == entries.end() || e->uid != uid)
                out.insert(uid);
        }
    }
    return QList<quint32>(out.begin(), out.end());
}

namespace IndexFile {

Loaded Load(const QString& path, IndexData& data, qint64& journalLength, qsizetype& journalRecords)
{
    journalLength = 0;
    journalRecords = 0;
    QByteArray snapshot, journal;
    if (!ReadFile(Native(path, Snapshot), snapshot))
        return Loaded::Missing;
    QList<QByteArray> lines = snapshot.split('\n');
    if (lines.size() < 2 || !lines.last().isEmpty() || !Header(lines.first(), data))
        return Loaded::Damaged;
    for (qsizetype i = 1; i + 1 < lines.size(); ++i)
        if (!Apply(lines[i], data))
            return Loaded::Damaged;
    if (!ReadFile(Native(path, JournalFile), journal))
        return Loaded::Good;
    journalLength = journal.lastIndexOf('\n') + 1;
    lines = journal.left(journalLength).split('\n');
    for (qsizetype i = 0; i + 1 < lines.size(); ++i, ++journalRecords)
        if (!Apply(lines[i], data))
            return Loaded::Damaged;
    return Loaded::Good;
}

QByteArray NextRecord(const IndexData& data) { return "n " + QByteArray::number(data.uidNext) + ' ' + QByteArray::number(data.highestModSeq) + '\n'; }

QByteArray EntryRecord(const IndexEntry& e)
{
    // One buffer, no pieces made and joined: one a flag change, and a snapshot's every entry.
    QByteArray r;
    r.reserve(96 + e.name.size() + 16 * e.flags.size());
    const auto number = [&r](auto n) {
        char digits[24];
        r.append(digits, std::to_chars(digits, digits + sizeof digits, n).ptr - digits).append(' ');
    };
    r.append("+ ");
    number(e.uid);
    number(e.modseq);
    number(e.internalDate);
    number(e.size);
    AppendEscaped(r, e.name.toUtf8());
    for (const QByteArray& f : e.flags)
        AppendEscaped(r.append(' '), f);
    return r.append('\n');
}

QByteArray RemovedRecord(quint32 uid, quint64 modseq) { return "- " + QByteArray::number(uid) + ' ' + QByteArray::number(modseq) + '\n'; }

void Save(const QString& path, const IndexData& data)
{
    QByteArray text = Magic + ' ' + QByteArray::number(Version) + ' ' + QByteArray::number(data.uidValidity) + ' '
                    + QByteArray::number(data.uidNext) + ' ' + QByteArray::number(data.highestModSeq) + ' '
                    + QByteArray::number(data.prunedUid) + ' ' + QByteArray::number(data.prunedModSeq) + '\n';
    for (const auto& [uid, modseq] : data.tombstones)
        text += RemovedRecord(uid, modseq);
    for (const IndexEntry& e : data.entries)
        text += EntryRecord(e);
    DurableFile::Replace(QFile::decodeName(Native(path, Snapshot)), text, true, true);
    // The snapshot holds every record: a journal that outlives a crash here is replayed harmlessly.
    if (::truncate(Native(path, JournalFile).constData(), 0) != 0 && errno != ENOENT)
        throw FailureFromErrno(errno, path);
}

Journal::~Journal() { Close(); }

void Journal::Close()
{
    Sync();
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

bool Journal::Sync()
{
    if (fd_ < 0 || !unsynced_)
        return false;
    unsynced_ = false;
    if (::fdatasync(fd_) != 0) {}   // nothing waits on it: a crash loses these changes either way
    return true;
}

void Journal::Open(const QString& path, qint64 length)
{
    Close();
    const QByteArray file = Native(path, JournalFile);
    const bool made = ::access(file.constData(), F_OK) != 0;
    fd_ = ::open(file.constData(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ < 0 || ::ftruncate(fd_, length) != 0) {
        const int err = errno;
        Close();
        throw FailureFromErrno(err, QFile::decodeName(file));
    }
    length_ = length;
    if (made)
        if (const int err = DurableFile::FlushFolder(path))
            throw FailureFromErrno(err, path);
}

void Journal::Append(const QByteArray& records, bool durable)
{
    if (fd_ < 0)
        throw Failure(Err::DeviceIO, QStringLiteral("The index journal is not open"));
    qsizetype done = 0;
    int err = 0;
    while (done < records.size() && !err) {
        const ssize_t n = ::pwrite(fd_, records.constData() + done, size_t(records.size() - done), length_ + done);
        if (n > 0)
            done += n;
        else if (n < 0 && errno != EINTR)
            err = errno;
    }
    if (!err && durable && ::fdatasync(fd_) != 0)
        err = errno;
    if (err) {
        if (::ftruncate(fd_, length_) != 0) {}   // the record never counted; a later Open cuts it off too
        throw FailureFromErrno(err, QStringLiteral("index journal"));
    }
    length_ += records.size();
    unsynced_ = !durable;
}

}
