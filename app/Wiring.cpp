#include "app/Wiring.h"
#include "app/SmtpRules.h"
#include "check/CheckStep.h"
#include "core/Server.h"
#include "deliver/Delivery.h"
#include "deliver/Mailboxes.h"
#include "dkim/Dkim.h"
#include "dkim/SignStep.h"
#include "milter/FilterStep.h"
#include "relay/Queue.h"

Wiring::Wiring(Queue& queue) : mailboxes_(std::make_unique<Mailboxes>()), signer_(std::make_unique<Dkim::Signer>())
{
    // Every delivery, in order; a refusal ends it where it is. The filters see the text before
    // the recipients are classified, and the signature covers what they left.
    steps_ = {Steps::Inspect(),
              std::make_shared<CheckStep>(),
              Steps::Owned(),
              Steps::Complete(),
              std::make_shared<FilterStep>([this](const Delivery& d, const QByteArray& address) {
                  Recipient where;
                  return smtp_->Admit(address, {d.server.Config(), d.m.client, d.server.LocalHostName(d.m.index), d.m.user, d.m.submitted}, where);
              }),
              Steps::Classify(*mailboxes_, &queue),
              std::make_shared<SignStep>(*signer_),
              Steps::Write(),
              Steps::Commit()};
    queue.SetNotices(steps_);
    smtp_ = std::make_unique<SmtpRules>(steps_, queue);
}

Wiring::~Wiring() = default;
