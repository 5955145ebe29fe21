#pragma once
// The one way a message is delivered: from SMTP at the end of DATA, and for the notices the
// relay queue sends. Every recipient is classified once; the local ones get a copy in their
// mailbox, the foreign ones go to the relay target; all or nothing, then one completion.
// A delivery runs as a short ordered list of steps (Delivery.cpp): inspect, check (SPF, DKIM,
// DMARC of mail from outside), the sender's own From (a client that logged in), Date and
// Message-ID (submitted mail), classify, sign (DKIM), write, commit; a filter is one more step.
#include "deliver/Envelope.h"

#include <QByteArray>
#include <QString>
#include <functional>
#include <vector>

class Server;

// Where the copies for other domains go: the relay queue.
class RelayTarget {
public:
    virtual ~RelayTarget() = default;
    struct Copy {
        QByteArray to;
        QByteArray head;   // the trace line this copy gets on top of the text
    };
    // What a message written for relaying leaves to do: `commit`, on the event thread,
    // hands it over for delivery.
    struct Written {
        QString id;
        std::function<void()> commit;
    };
    // Writes the message and its recipients to disk; any thread, never the server. Throws
    // Failure, leaving nothing behind.
    virtual Written Write(const QByteArray& sender, const std::vector<Copy>& copies, const QByteArray& text) = 0;
};
void SetRelayTarget(RelayTarget* target);

// How a delivery ended.
struct Outcome {
    QByteArray refusal;        // "": every copy is on disk; otherwise the reply to give
    QByteArray failure;        // why a copy could not be stored ("" when none failed)
    int stored = 0;            // mailbox copies written
    int queued = 0;            // foreign recipients handed to the relay target
    int noMailbox = 0;         // local recipients without a mailbox, left out
};

// Delivers `message`; `done` runs once on the event thread, perhaps before this returns.
void Deliver(Server& server, Envelope message, std::function<void(const Outcome&)> done);

// A message that has passed more relays than this is in a loop.
inline constexpr int MaxHops = 30;
