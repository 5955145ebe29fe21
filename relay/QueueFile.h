#pragma once
// The relay queue on disk: Queue/<id>.eml holds a message's text, Queue/<id>.json its
// envelope and what each recipient still needs. Files are written whole or not at all, and
// read back as untrusted input.
#include "core/Server.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <vector>

// One foreign recipient still waiting for its copy to be handed over, as it is saved.
struct QueuedRecipient {
    QByteArray to;
    QByteArray head;        // the trace line this copy gets on top of the text
    int attempts = 0;
    qint64 next = 0;        // seconds since the epoch; 0: at once
    QByteArray reply;       // how the last attempt ended
    QByteArray domain;      // not saved: the queue's key for it, lower case without a final dot

    explicit QueuedRecipient(QByteArray to, QByteArray head = {}) : to(std::move(to)), head(std::move(head)) {}
};

// A message accepted for foreign recipients.
struct QueuedMessage {
    QString id;
    QByteArray from;        // "" for a delivery status notice: never answered by another
    qint64 accepted = 0;    // seconds since the epoch
    std::vector<QueuedRecipient> recipients;
};

namespace QueueFile {

// Program folder + "/Queue".
QString Folder();
// Writes a message into the queue and flushes it to disk; any thread. Sets m.id (and
// m.accepted when it is 0). A message that could not be written whole leaves nothing
// behind. Throws Failure.
void Write(QueuedMessage& m, const QByteArray& text);
// Saves what the recipients still need; not flushed: after a power loss the worst is an
// attempt made again. Throws Failure.
void Save(const QueuedMessage& m);
// Takes a message out of the queue.
void Remove(const QString& id);
// The text of a queued message, opened to be sent as the exchanger takes it (no link is
// followed); and its first `bytes` bytes. Throw Failure.
FileReply Open(const QString& id);
QByteArray Start(const QString& id, qint64 bytes);
// The messages on disk; files that cannot be read, or that fail the checks addresses and
// trace lines pass when they arrive, are listed in `damaged`.
std::vector<QueuedMessage> Read(QStringList* damaged = nullptr);
// Moves the damaged files aside into Queue/damaged and removes writes cut short. Returns a
// log line per damaged file.
QList<QByteArray> Tidy(const QStringList& damaged);
// The queue as `Tandrivel --queue` prints it.
QByteArray Listing();
// Asks a running server to try every deferred recipient now (`Tandrivel --flush`); the
// server takes the request with TakeFlushRequest. Returns the request's path.
QString FlushRequest();
bool TakeFlushRequest();

}
