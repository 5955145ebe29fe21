#pragma once
// The pieces put together in one place: the steps of every delivery in their order, with the
// mailboxes and the relay queue as their targets, the DKIM keys the signing step uses, and
// the answers an SMTP session asks for.
#include <memory>
#include <vector>

class Mailboxes;
class Queue;
class SmtpPolicy;
class Step;
namespace Dkim {
class Signer;
}
using StepList = std::vector<std::shared_ptr<const Step>>;

class Wiring {
public:
    // `queue` takes the foreign copies, and sends its notices through the same steps.
    explicit Wiring(Queue& queue);
    ~Wiring();
    const StepList& Steps() const { return steps_; }
    const SmtpPolicy& Smtp() const { return *smtp_; }
    // Empty until start-up loads the keys of the settings into it.
    Dkim::Signer& Signer() { return *signer_; }

private:
    std::unique_ptr<Mailboxes> mailboxes_;
    std::unique_ptr<Dkim::Signer> signer_;
    StepList steps_;
    std::unique_ptr<SmtpPolicy> smtp_;
};
