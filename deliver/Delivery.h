#pragma once
// The one way a message is delivered: from SMTP at the end of DATA, and for the notices the
// relay queue sends. It runs the steps app/ lists, in order. Every recipient is classified
// once; the local ones get a copy in their mailbox, the foreign ones go to the relay target;
// all or nothing, then one completion.
#include "deliver/Step.h"

#include <functional>

// Delivers `message` through `steps`; `done` runs once on the event thread, perhaps before
// this returns.
void Deliver(Server& server, const StepList& steps, Envelope message, std::function<void(const Outcome&)> done);

// A message that has passed more relays than this is in a loop.
inline constexpr int MaxHops = 30;

// The steps of every delivery that are the delivery's own. Between them app/ puts the checks,
// the filters and the signature.
namespace Steps {
// A relay loop, or line ends another receiver could misread: refused.
std::shared_ptr<const Step> Inspect();
// A client that logged in writes as itself in From:.
std::shared_ptr<const Step> Owned();
// Submitted mail gets the Date and Message-ID it lacks.
std::shared_ptr<const Step> Complete();
// Each recipient once: a copy for `mailboxes`, or a foreign one for `relay` (none: such a
// copy cannot be stored).
std::shared_ptr<const Step> Classify(Target& mailboxes, Target* relay);
// Every copy is written, or none.
std::shared_ptr<const Step> Write();
// The copies are safe: the targets may begin, the sender hears of it.
std::shared_ptr<const Step> Commit();
}
