#include "core/Connecter.h"

#include <utility>

void Connecter::SetStep(int NewStep)
{
    if (NewStep == SmtpText) {
        Message.clear();
        Smtp.MessageScanned = 0;
        Smtp.Oversized = false;
        Smtp.OverBudget = false;
    }
    if (NewStep == Closing && step_ == Pop3Session)
        Purge();
    step_ = NewStep;
}

void Connecter::Settle(const QByteArray& reply)
{
    if (auto done = std::exchange(Relay.Done, nullptr))
        done(reply, step_);
}
