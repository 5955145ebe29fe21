#pragma once
#include <QAbstractListModel>
#include <QByteArray>
#include <deque>

class QTimer;

// The server's log: newest line first. A line is kept whole (protocol text with its
// CR LF included); views show it shortened. Every line is also written to standard
// output, CR and LF shown as \r and \n, so a server without a display can be followed.
class LogList : public QAbstractListModel {
    Q_OBJECT
public:
    explicit LogList(QObject* parent = nullptr);
    ~LogList() override;

    // Puts prefix + body at the top; standard output gets its first EchoedBytes, the list
    // keeps its first HeadBytes and how long it was.
    void Add(const QByteArray& prefix, const QByteArray& body = {});
    // The same for a line of `total` bytes, prefix included, of which only the start is at hand.
    void Add(const QByteArray& prefix, const QByteArray& start, qint64 total);
    // Drops the oldest lines until at most `keep` remain.
    void Trim(int keep);
    void Clear();
    // Standard output gets what was logged before the next reply is sent.
    void FlushBeforeSend();
    // Standard output gets what was logged, now.
    void Flush();

    int Count() const { return int(lines_.size()); }
    QByteArray Line(int row) const;   // the line as kept

    bool EchoToStdout = true;
    static constexpr qint64 EchoedBytes = 1000;   // of a line on standard output
    static constexpr int FlushIntervalMs = 20;      // most a line waits before it is written out
    static constexpr int ShownChars = 400;
    static constexpr qsizetype HeadBytes = 4096;

    // Rows as the views know them; they catch up with the lines every ShowIntervalMs.
    int rowCount(const QModelIndex& parent = {}) const override;
    QModelIndex index(int row, int column = 0, const QModelIndex& parent = {}) const override;
    static constexpr int ShowIntervalMs = 150;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

    // An error entry for the system log.
    static void SysLog(const QByteArray& text);

private:
    struct Entry {
        QByteArray prefix, body;
        qint64 total = 0;    // bytes of the whole line, also once shortened
    };
    void Echo(const Entry& e);
    void ScheduleShow();
    int shown_ = 0;
    bool showPending_ = false;
    std::deque<Entry> lines_;
    QByteArray echo_;           // the line being written, its room kept for the next
    QTimer* flush_ = nullptr;   // standard output is flushed when it fires
    bool unflushed_ = false;
    bool flushPosted_ = false;
};
