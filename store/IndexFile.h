#pragma once
// How a folder's index lies on disk: a snapshot (".imap-index", replaced whole) and a journal
// (".imap-journal", appended to) of the changes since. Both are lines of text, one record
// each: "n <uidnext> <highestmodseq>", "+ <uid> <modseq> <date> <size> <name> <flags...>" (a
// message as it now is), "- <uid> <modseq>" (a message removed); the snapshot starts with
// "tandrivel-index 1 <uidvalidity> <uidnext> <highestmodseq> <prunedUid> <prunedModSeq>".
// Replaying a record twice changes nothing, so a crash between writing a snapshot and
// emptying the journal loses nothing.
#include "store/MailboxIndex.h"

#include <QHash>
#include <utility>

struct IndexData {
    quint32 uidValidity = 0;
    quint32 uidNext = 1;
    quint64 highestModSeq = 1;
    std::vector<IndexEntry> entries;                       // by rising UID
    std::vector<std::pair<quint32, quint64>> tombstones;   // removed UIDs and when, oldest first
    // Removals before prunedModSeq are no longer told apart: any UID up to prunedUid that is
    // not among the entries may be one.
    quint32 prunedUid = 0;
    quint64 prunedModSeq = 0;

    IndexEntry* Find(quint32 uid);
    void Put(IndexEntry entry);
    void Remove(quint32 uid, quint64 modseq);
    // Keeps the tombstones bounded: the oldest half goes into the range once there are too many.
    void Prune();
    // UIDs removed after `modseq`, and perhaps some removed before (QRESYNC).
    QList<quint32> RemovedSince(quint64 modseq) const;
};

namespace IndexFile {

enum class Loaded { Missing, Damaged, Good };
// Reads the snapshot, then the journal, of the folder at `path`. A last journal line cut
// short (a crash while it was written, never reported) is left out; `journalLength` is what
// is whole. Damaged: `data` holds the entries read before the damage.
Loaded Load(const QString& path, IndexData& data, qint64& journalLength, qsizetype& journalRecords);

// Writes the snapshot of `data` and empties the journal. Throws Failure.
void Save(const QString& path, const IndexData& data);

QByteArray NextRecord(const IndexData& data);
QByteArray EntryRecord(const IndexEntry& entry);
QByteArray RemovedRecord(quint32 uid, quint64 modseq);

// The journal, open for appending: each durable Append is on disk when it returns, and with
// it every append before; the others reach the disk at the next Sync or Close.
class Journal {
public:
    ~Journal();
    // Opens it, cutting off what is past `length`. Throws Failure.
    void Open(const QString& path, qint64 length);
    void Close();
    // Throws Failure; what was written of a failed append is cut off again.
    void Append(const QByteArray& records, bool durable = true);
    // Puts on disk what was appended without waiting; false when there was nothing.
    bool Sync();

private:
    int fd_ = -1;
    qint64 length_ = 0;
    bool unsynced_ = false;
};

}
