#pragma once
// The operator's filters as a delivery step: they see mail from outside before it is
// classified or signed, so that the recipients they leave are the ones served and a signature
// covers the text they leave. Their sockets are waited on off the event thread.
#include "deliver/Step.h"

#include <functional>

class FilterStep : public Step {
public:
    // Whether a recipient a filter added may be taken from this message's client, as at RCPT:
    // "" or the reply that would refuse it.
    using Admission = std::function<QByteArray(const Delivery& d, const QByteArray& address)>;
    explicit FilterStep(Admission admit) : admit_(std::move(admit)) {}

    void Run(const std::shared_ptr<Delivery>& d, const Next& next) const override;

private:
    Admission admit_;
};
