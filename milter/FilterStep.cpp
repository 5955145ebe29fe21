#include "milter/FilterStep.h"
#include "core/Budget.h"
#include "core/Server.h"
#include "core/Settings.h"
#include "core/TextHelper.h"
#include "milter/MilterClient.h"

namespace {

// A filter adds recipients on the client's behalf: each is held to what RCPT asks of the
// client's own (syntax, relay permission, this host, MaxRecipients), or left out.
void HoldAdded(Delivery& d, const QList<QByteArray>& given, const FilterStep::Admission& admit)
{
    QList<QByteArray> kept;
    for (const QByteArray& address : d.m.recipients) {
        if (given.contains(address)) {
            kept << address;
            continue;
        }
        QByteArray refusal = BadAddress(address) ? QByteArray("bad address") : admit(d, address);
        if (refusal.isEmpty() && kept.size() >= d.server.Config().MaxRecipients)
            refusal = "too many recipients";
        if (refusal.isEmpty())
            kept << address;
        else
            d.Log("-Milter: +rcpt <" + TextHelper::Printable(address, MaxAddress, false) + "> left out: " + refusal);
    }
    d.m.recipients = kept;
}

}

void FilterStep::Run(const std::shared_ptr<Delivery>& d, const Next& next) const
{
    if (!Milters::Applies(d->server.Config(), d->m))
        return next();
    auto verdict = std::make_shared<Milters::Verdict>();
    const std::shared_ptr<void> held = Budget::Hold(2 * d->m.text.size());   // each filter's copy and its packets
    d->server.Lookup(Server::Waits::Filters, d->m.client, [d, verdict, held] { *verdict = Milters::Run(d->server.Config(), d->m); },
                     [d, verdict, next, given = d->m.recipients, admit = admit_] {
                         for (qsizetype i = 0; i < verdict->log.size(); ++i)
                             if (i + 1 < verdict->log.size() || verdict->refusal.isEmpty()) d->Log("-" + verdict->log[i]);
                         if (!verdict->refusal.isEmpty())
                             d->Refuse(verdict->refusal, "-" + verdict->log.last());
                         else if (verdict->discarded)
                             d->m.recipients.clear(), d->m.classified.clear();   // a 250, and no copy
                         else
                             HoldAdded(*d, given, admit);
                         next();
                     });
}
