#include "core/LogList.h"

#include <QTimer>
#include <cstdio>
#include <syslog.h>

LogList::LogList(QObject* parent) : QAbstractListModel(parent) {}

LogList::~LogList()
{
    fflush(stdout);
}

void LogList::Add(const QByteArray& prefix, const QByteArray& body) { Add(prefix, body, prefix.size() + body.size()); }

void LogList::Add(const QByteArray& prefix, const QByteArray& body, qint64 total)
{
    lines_.push_front(Entry{prefix, body, total});
    ScheduleShow();
    if (EchoToStdout)
        Echo(lines_.front());
    // The window shows the head of a line; keeping more would keep every message the server
    // moves (2,000 lines of them) in memory a second time.
    Entry& e = lines_.front();
    if (e.total > HeadBytes) {
        if (e.prefix.size() >= HeadBytes) {
            e.prefix = e.prefix.left(HeadBytes);
            e.body = QByteArray();
        } else {
            e.body = e.body.left(HeadBytes - e.prefix.size());
        }
    }
}

void LogList::Trim(int keep)
{
    if (Count() <= keep)
        return;
    lines_.resize(size_t(keep));
    ScheduleShow();
}

void LogList::Clear()
{
    beginResetModel();
    lines_.clear();
    shown_ = 0;
    endResetModel();
}

QByteArray LogList::Line(int row) const
{
    const Entry& e = lines_.at(size_t(row));
    return e.prefix + e.body;
}

int LogList::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : shown_;
}

QModelIndex LogList::index(int row, int column, const QModelIndex& parent) const
{
    // Every kept line can be addressed, also one the view has not been shown yet.
    if (parent.isValid() || column != 0 || row < 0 || row >= Count())
        return {};
    return createIndex(row, column);
}

void LogList::ScheduleShow()
{
    // Views learn of new lines a few times a second, not once per line: laying out and
    // drawing the list per event cost most of the server's time under load.
    if (showPending_)
        return;
    showPending_ = true;
    QTimer::singleShot(ShowIntervalMs, this, [this] {
        showPending_ = false;
        beginResetModel();
        shown_ = Count();
        endResetModel();
    });
}

QVariant LogList::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= Count())
        return {};
    const Entry& e = lines_[size_t(index.row())];
    if (role == Qt::UserRole)
        return Line(index.row());
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole)
        return {};
    // Only the head of a long line is drawn; the list stays quick with megabyte lines.
    // Either part may be the long one: many writers pass the whole line as the prefix.
    const qsizetype total = e.total;
    QByteArray head = e.prefix.left(ShownChars);
    head += e.body.left(ShownChars - head.size());
    const bool cut = total > head.size();
    head.replace("\r", "\\r").replace("\n", "\\n");
    QString shown = QString::fromUtf8(head);
    if (cut)
        shown += QStringLiteral(" … (%1 bytes)").arg(total);
    return shown;
}

void LogList::Echo(const Entry& e)
{
    // Standard output becomes the journal, which keeps everything: a line there is cut
    // after its first EchoedBytes, so no message body ends up in it whole.
    QByteArray& out = echo_;
    out.resize(0);
    qint64 room = EchoedBytes;
    for (const QByteArray* part : {&e.prefix, &e.body}) {
        const char* p = part->constData();
        const char* end = p + std::min<qint64>(part->size(), room);
        room -= end - p;
        while (p < end) {
            const char* q = p;
            while (q < end && *q != '\r' && *q != '\n') ++q;
            out.append(p, q - p);
            if (q < end)
                out.append(*q == '\r' ? "\\r" : "\\n", 2);
            p = q < end ? q + 1 : q;
        }
    }
    if (e.total > EchoedBytes)
        out += " [" + QByteArray::number(e.total - EchoedBytes) + " bytes left out]";
    out += '\n';
    fwrite(out.constData(), 1, size_t(out.size()), stdout);
    unflushed_ = true;
    // Written out when the buffer is full, before the next reply goes out (FlushBeforeSend),
    // or a moment later: not at every turn of the event loop, which under load would be a
    // write() for every few lines.
    if (!flush_) {
        flush_ = new QTimer(this);
        flush_->setSingleShot(true);
        flush_->setInterval(FlushIntervalMs);
        connect(flush_, &QTimer::timeout, this, &LogList::Flush);
    }
    if (!flush_->isActive())
        flush_->start();
}

void LogList::FlushBeforeSend()
{
    // A posted event runs before the sockets are written to in the next turn, so whoever
    // reads a reply finds the lines logged before it already written out.
    if (!unflushed_ || flushPosted_)
        return;
    flushPosted_ = true;
    QMetaObject::invokeMethod(this, [this] {
        flushPosted_ = false;
        Flush();
    }, Qt::QueuedConnection);
}

void LogList::Flush()
{
    if (!unflushed_)
        return;
    unflushed_ = false;
    fflush(stdout);
}

void LogList::SysLog(const QByteArray& text)
{
    syslog(LOG_MAIL | LOG_ERR, "%s", text.constData());
}
