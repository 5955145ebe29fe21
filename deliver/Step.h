#pragma once
// A delivery runs as an ordered list of steps, which app/ puts together: each does its part
// for the message on its way, then hands it on; a refusal ends the delivery where it is.
#include "core/Budget.h"
#include "core/Failure.h"
#include "deliver/Envelope.h"
#include "deliver/Target.h"

#include <QByteArray>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class Server;

// How a delivery ended.
struct Outcome {
    QByteArray refusal;        // "": every copy is on disk; otherwise the reply to give
    QByteArray failure;        // why a copy could not be stored ("" when none failed)
    int stored = 0;            // mailbox copies written
    int queued = 0;            // foreign recipients handed to the relay target
    int noMailbox = 0;         // local recipients without a mailbox, left out
};

// A message on its way.
struct Delivery {
    // The copies one target takes, and what it wrote of them.
    struct Batch {
        Target* target = nullptr;
        std::vector<Target::Copy> copies;
        Target::Written written;
        bool wrote = false;
    };

    Delivery(Server& s, Envelope message, std::function<void(const Outcome&)> then)
        : server(s), m(std::move(message)), done(std::move(then)) {}

    Server& server;
    Envelope m;
    std::function<void(const Outcome&)> done;
    Outcome outcome;
    Batch mailboxes, relay;   // filled when the recipients are classified
    std::optional<Failure> failure;
    QByteArray failedAddress;
    // The text is held from the end of its upload until the delivery ends, waiting for a
    // check or a filter too; each step starts with it charged as the one before left it.
    Budget::Charge held;

    bool HasCopies() const { return !mailboxes.copies.empty() || !relay.copies.empty(); }
    void Log(const QByteArray& line) const;
    // The same for a notice, which has no connection.
    void LogAny(const QByteArray& line) const;
    // Ends the delivery with `reply`, logged as "-Refused: reply" or as `why`.
    void Refuse(const QByteArray& reply, const QByteArray& why = {});
};

class Step {
public:
    using Next = std::function<void()>;
    virtual ~Step() = default;
    // Does this step's part for `d`, then calls `next` once, on the event thread.
    virtual void Run(const std::shared_ptr<Delivery>& d, const Next& next) const = 0;
};
using StepList = std::vector<std::shared_ptr<const Step>>;
