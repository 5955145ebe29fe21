#pragma once
// The checks as a delivery step: mail from outside is checked (SPF, DKIM, DMARC) and says so
// in an Authentication-Results header under the trace line; a DMARC reject policy that failed
// refuses it. The answers are waited for off the event thread. An Spf::Outcome the envelope
// carries (found at MAIL FROM) is taken instead of asking again.
#include "deliver/Step.h"

class CheckStep : public Step {
public:
    void Run(const std::shared_ptr<Delivery>& d, const Next& next) const override;
};
