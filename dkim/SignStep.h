#pragma once
// Signing as a delivery step: mail from the served domain by a client we trust, and our own
// notices, leave signed. The signature goes on top of the text, below the trace headers each
// copy gets. The body is hashed off the event thread: a large one takes a while.
#include "deliver/Step.h"

namespace Dkim {
class Signer;
}

class SignStep : public Step {
public:
    // `signer` outlives the step; its keys are loaded before anything is served.
    explicit SignStep(const Dkim::Signer& signer) : signer_(signer) {}
    void Run(const std::shared_ptr<Delivery>& d, const Next& next) const override;

private:
    const Dkim::Signer& signer_;
};
