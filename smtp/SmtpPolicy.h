#pragma once
// What an SMTP session asks of the rest of the server; app/ answers.
#include "deliver/Envelope.h"
#include "deliver/Step.h"

#include <functional>

class Server;

class SmtpPolicy {
public:
    virtual ~SmtpPolicy() = default;
    // An accepted message goes on its way; `done` runs once on the event thread.
    virtual void Deliver(Server& server, Envelope message, std::function<void(const Outcome&)> done) const = 0;
};
