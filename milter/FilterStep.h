#pragma once
// The operator's filters as a delivery step: they see mail from outside before it is
// classified or signed, so that the recipients they leave are the ones served and a signature
// covers the text they leave. Their sockets are waited on off the event thread.
#include "deliver/Step.h"

class FilterStep : public Step {
public:
    void Run(const std::shared_ptr<Delivery>& d, const Next& next) const override;
};
