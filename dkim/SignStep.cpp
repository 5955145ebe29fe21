#include "dkim/SignStep.h"
#include "core/Access.h"
#include "core/Budget.h"
#include "core/Server.h"
#include "core/mdlCommon.h"
#include "dkim/Dkim.h"
#include "mail/Domain.h"

#include <QDateTime>

void SignStep::Run(const std::shared_ptr<Delivery>& d, const Next& next) const
{
    const Envelope& m = d->m;
    if (!signer_.Enabled() || !d->HasCopies())
        return next();
    const bool notice = m.origin == Envelope::Origin::Notice;
    if (!notice && m.user.isEmpty() && !Access::MayRelay(d->server.Config(), m.client))
        return next();
    const bool senderOurs = notice || Mail::Address::Parse(m.sender).domain.IsServed(mdlCommon::ServerDomain);
    auto made = std::make_shared<Dkim::Signature>();
    const std::shared_ptr<void> held = Budget::Hold(m.text.size());   // the text is copied once more
    d->server.Offload(
        [this, d, made, senderOurs, held] {
            *made = signer_.Sign(d->m.text, QDateTime::currentSecsSinceEpoch(), senderOurs);
            if (!made->header.isEmpty())
                d->m.text.prepend(made->header);
        },
        [d, made, next] {
            if (!made->header.isEmpty())
                d->LogAny("-DKIM signed " + made->summary);
            else if (!made->error.isEmpty())
                d->LogAny("-DKIM not signed: " + made->error);
            next();
        });
}
