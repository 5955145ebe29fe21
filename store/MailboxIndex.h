#pragma once
// What IMAP knows of one folder beyond its message files: UIDs that rise and are never used
// again, flags and keywords, mod-sequences, the moment each message came. Kept in a file of the
// folder, written as durably as the messages; files added or removed by anyone else (SMTP,
// POP3, by hand) are noticed, and a lost or damaged index is rebuilt from the files with a new
// UIDVALIDITY. Every session with the folder open shares one index (event thread only).
#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <functional>
#include <memory>
#include <vector>

struct IndexEntry {
    quint32 uid = 0;
    QString name;              // the message file in the folder
    quint64 modseq = 0;        // the change that last touched it
    QList<QByteArray> flags;   // system flags ("\Seen", ...) and keywords, as first spelled
    qint64 internalDate = 0;   // seconds since the epoch: when it came
    qint64 size = 0;           // bytes as its sender wrote it (the stored dot-stuffing undone)

    bool Has(QByteArrayView flag) const;   // any letter case
};

class MailboxIndex {
public:
    // The index of the folder at `path` (made when missing), shared while anyone holds it,
    // whatever name the folder is reached by (renamed meanwhile). Throws Failure: no such
    // folder (Err::FileNotFound), one that is only its children's parent (Err::PathAccess).
    static std::shared_ptr<MailboxIndex> Open(const QString& path);

    QString Path() const;
    quint32 UidValidity() const;
    quint32 UidNext() const;
    quint64 HighestModSeq() const;
    // Notices messages added or removed by others; cheap when nothing changed. True when
    // something did.
    bool Refresh();
    // Changes whenever the folder's files may have changed since (a notice of a change came).
    quint64 Generation() const;
    // The messages, by rising UID.
    const std::vector<IndexEntry>& Entries() const;
    const IndexEntry* Find(quint32 uid) const;

    enum class FlagMode { Set, Add, Remove };
    // Changes one message's flags under a new mod-sequence (none when they stay as they were).
    // With `unchangedSince` (CONDSTORE), a message changed after it is left alone: false.
    // System flags take their usual spelling. Throws Failure when the change cannot be
    // written: then nothing changed.
    bool Store(quint32 uid, FlagMode mode, const QList<QByteArray>& flags, quint64 unchangedSince = 0);
    // The same for many messages at once, written once (STORE 1:*): returns the UIDs left
    // alone for `unchangedSince`.
    QList<quint32> Store(const QList<quint32>& uids, FlagMode mode, const QList<QByteArray>& flags, quint64 unchangedSince = 0);
    // A new message from its text as the sender wrote it (stored dot-stuffed, as SMTP stores
    // it). Returns its UID. Throws Failure.
    quint32 Append(const QByteArray& text, const QList<QByteArray>& flags, const QDateTime& internalDate);
    // A copy of `uid` in `target` with its flags and date; returns the new UID. Throws Failure.
    quint32 CopyTo(quint32 uid, MailboxIndex& target);
    // Removes the messages and their files.
    void Expunge(const QList<quint32>& uids);
    // UIDs removed after mod-sequence `modseq` (QRESYNC); may hold UIDs removed earlier.
    QList<quint32> ExpungedSince(quint64 modseq) const;
    // The message as its sender wrote it; throws Failure.
    QByteArray Text(quint32 uid) const;

    // Called (on the event thread) after every change, whoever made it, files changed by
    // others within a second: a session in IDLE tells its client.
    int Watch(std::function<void()> changed);
    void Unwatch(int id);

    ~MailboxIndex();

private:
    explicit MailboxIndex(const QString& path);
    struct State;
    std::unique_ptr<State> d_;
};
