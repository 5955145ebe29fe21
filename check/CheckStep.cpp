#include "check/CheckStep.h"
#include "check/Checks.h"
#include "core/Budget.h"
#include "core/Server.h"
#include "core/Settings.h"
#include "mail/AuthResults.h"

#include <QDateTime>
#include <QDeadlineTimer>

void CheckStep::Run(const std::shared_ptr<Delivery>& d, const Next& next) const
{
    const Envelope& m = d->m;
    if (!Checks::Applies(d->server.Config(), m.origin == Envelope::Origin::Smtp, m.user, m.client))
        return next();
    auto verdict = std::make_shared<Checks::Verdict>();
    const std::shared_ptr<void> held = Budget::Hold(m.text.size());   // the text is copied once more
    // The time limit runs from here: waiting for a free thread is waiting for the answers too.
    const QDeadlineTimer deadline(Checks::TimeLimitMs);
    d->server.Lookup(Server::Waits::Dns, m.client,
        [d, verdict, held, deadline] {
            const Settings& settings = d->server.Config();
            const QByteArray id = settings.HostName.toUtf8();
            const auto dns = Checks::Bounded(Dns::MakeResolver(settings.DnsServer), int(deadline.remainingTime()),
                                              [&server = d->server] { return server.Stopping(); });
            const Spf::Outcome* found = std::any_cast<Spf::Outcome>(&d->m.senderCheck);
            const Checks::Input in{Checks::ClientAddress(d->m.client), d->m.sender, d->m.helo,
                                   found ? std::optional(*found) : std::nullopt};
            *verdict = Checks::Run(settings, *dns, in, d->m.text, id, QDateTime::currentSecsSinceEpoch());
            if (verdict->refusal.isEmpty())
                d->m.text = verdict->header + Mail::WithoutOurResults(d->m.text, id);
        },
        [d, verdict, next] {
            for (const QByteArray& line : verdict->log)
                d->Log(line);
            if (verdict->facts)
                TellDmarc(*verdict->facts);
            if (!verdict->refusal.isEmpty())
                d->Refuse(verdict->refusal);
            next();
        });
}
