#pragma once
#include <QByteArray>
#include <QHash>
#include <utility>

// Lines about one client address at most once a minute, however often it happens; each
// line says how often it happened since the one before.
class PerAddressLog {
public:
    static constexpr qint64 IntervalMs = 60000;
    // A flood of addresses starts the book over rather than grow it.
    static constexpr qsizetype MaxAddresses = 100000;

    // Counts one more event of `address`. Returns how many there were since its last line
    // when a line is due now, -1 otherwise.
    int Note(const QByteArray& address, qint64 nowMs)
    {
        if (book_.size() > MaxAddresses)
            book_.clear();
        Entry& e = book_[address];
        ++e.since;
        if (e.logged != 0 && nowMs - e.logged < IntervalMs)
            return -1;
        e.logged = nowMs;
        return std::exchange(e.since, 0);
    }

    // The address starts afresh: its next event is logged at once.
    void Forget(const QByteArray& address) { book_.remove(address); }

private:
    struct Entry {
        qint64 logged = 0;   // ms since the epoch
        int since = 0;
    };
    QHash<QByteArray, Entry> book_;
};
