#include "milter/FilterStep.h"
#include "core/Budget.h"
#include "core/Server.h"
#include "milter/MilterClient.h"

void FilterStep::Run(const std::shared_ptr<Delivery>& d, const Next& next) const
{
    if (!Milters::Applies(d->server.Config(), d->m))
        return next();
    auto verdict = std::make_shared<Milters::Verdict>();
    const std::shared_ptr<void> held = Budget::Hold(2 * d->m.text.size());   // each filter's copy and its packets
    d->server.Lookup([d, verdict, held] { *verdict = Milters::Run(d->server.Config(), d->m); },
                     [d, verdict, next] {
                         for (qsizetype i = 0; i < verdict->log.size(); ++i)
                             if (i + 1 < verdict->log.size() || verdict->refusal.isEmpty()) d->Log("-" + verdict->log[i]);
                         if (!verdict->refusal.isEmpty())
                             d->Refuse(verdict->refusal, "-" + verdict->log.last());
                         else if (verdict->discarded)
                             d->m.recipients.clear(), d->m.classified.clear();   // a 250, and no copy
                         next();
                     });
}
