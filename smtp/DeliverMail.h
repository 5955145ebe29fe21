#pragma once
#include "core/Recipient.h"

#include <QByteArray>
#include <QList>
#include <functional>

class Server;

// One finished message: its envelope, its text, and how the client introduced itself.
struct Envelope {
    QByteArray From;
    QList<QByteArray> Address;   // in RCPT order
    QByteArray Text;             // the lines as received, each with CR LF; no end-of-data line
    QByteArray Helo;
    bool Esmtp = false;
};


// Stores a copy, with its trace headers, in the mailbox of every local recipient, and the
// message for its foreign recipients in the relay queue; once all are on disk, the queue
// starts to deliver. `done` runs on the event thread with "" when the message is safe, or
// with the reply to give when a copy could not be stored: then no copy is kept and nothing
// is relayed.
void DeliverMail(Server& server, qint16 index, Envelope message, std::function<void(const QByteArray& refusal)> done);
