#pragma once
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

// Where a recipient's mail goes: its domain part, whether that is the served domain (letter
// case and a final dot do not count), and then its mailbox folder ("" when it has none).
struct Recipient {
    QByteArray domain;
    bool local = false;
    QString folder;
};
Recipient Classify(const QByteArray& address);

// Stores a copy, with its trace headers, in the mailbox of every local recipient; once all
// are on disk, hands each foreign recipient to a relay connection of its own. `done` runs
// on the event thread with "" when the message is safe, or with the reply to give when a
// copy could not be stored: then no copy is kept and nothing is relayed.
void DeliverMail(Server& server, qint16 index, Envelope message, std::function<void(const QByteArray& refusal)> done);
