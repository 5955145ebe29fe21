#pragma once
// The operator's mail filters (setting Milters): one connection per filter per message, the
// conversation of MilterProtocol over it, each filter in turn seeing the message as the one
// before left it. The sockets block with time-outs, so this runs on a thread of its own,
// never the event thread (the delivery step FilterStep hands it to Server::Lookup).
#include "milter/MilterProtocol.h"

#include <QByteArray>
#include <QList>
#include <QString>

struct Settings;

struct Envelope;

namespace Milters {

// One entry of the setting: inet:host:port or unix:/path.
struct Filter {
    QByteArray name;   // as written, for the log
    QByteArray host;   // inet: a name or an address ([v6] too)
    quint16 port = 0;
    QByteArray path;   // unix:
    QByteArray error;  // why the entry cannot be used; it then counts as a filter not reached
};
QList<Filter> ParseList(const QString& setting);

// Talks to one filter about one message: connects, runs the conversation and quits. Each
// connect, write and reply may take `timeoutMs`, the whole conversation ten times that; a
// filter that takes longer, closes or sends what the protocol has no place for ends it as
// Result::Failed.
Milter::Result Talk(const Filter& f, Milter::Conversation& c, int timeoutMs);

// Whether the filters see this message: mail from outside, and with MilterOutgoing that of
// trusted clients too; never our own notices.
bool Applies(const Settings& settings, const Envelope& m);

// What the filters decided about a message.
struct Verdict {
    QList<QByteArray> log;    // one line per decision, "Milter <name>: …"
    QByteArray refusal;       // the SMTP reply refusing the message; "" when it goes on
    bool discarded = false;   // accepted and dropped: no copy is made
};
// Runs every filter of the setting over `m` in order and applies what they changed to it
// (sender, recipients, text). Any thread.
Verdict Run(const Settings& settings, Envelope& m);

}
