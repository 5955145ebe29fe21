#include "app/Wiring.h"
#include "check/CheckStep.h"
#include "deliver/Delivery.h"
#include "deliver/Mailboxes.h"
#include "dkim/SignStep.h"
#include "milter/FilterStep.h"
#include "relay/Queue.h"
#include "smtp/SmtpPolicy.h"

namespace {

class Rules : public SmtpPolicy {
public:
    explicit Rules(const StepList& steps) : steps_(steps) {}
    void Deliver(Server& server, Envelope message, std::function<void(const Outcome&)> done) const override
    {
        ::Deliver(server, steps_, std::move(message), std::move(done));
    }

private:
    const StepList& steps_;
};

}

Wiring::Wiring(Queue& queue) : mailboxes_(std::make_unique<Mailboxes>())
{
    // Every delivery, in order; a refusal ends it where it is. The filters see the text before
    // the recipients are classified, and the signature covers what they left.
    steps_ = {Steps::Inspect(),
              std::make_shared<CheckStep>(),
              Steps::Owned(),
              Steps::Complete(),
              std::make_shared<FilterStep>(),
              Steps::Classify(*mailboxes_, &queue),
              std::make_shared<SignStep>(),
              Steps::Write(),
              Steps::Commit()};
    queue.SetNotices(steps_);
    smtp_ = std::make_unique<Rules>(steps_);
}

Wiring::~Wiring() = default;
