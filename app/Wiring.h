#pragma once
// The pieces put together in one place: the steps of every delivery in their order, with the
// mailboxes and the relay queue as their targets, and the answers an SMTP session asks for.
#include <memory>
#include <vector>

class Mailboxes;
class Queue;
class SmtpPolicy;
class Step;
using StepList = std::vector<std::shared_ptr<const Step>>;

class Wiring {
public:
    // `queue` takes the foreign copies, and sends its notices through the same steps.
    explicit Wiring(Queue& queue);
    ~Wiring();
    const StepList& Steps() const { return steps_; }
    const SmtpPolicy& Smtp() const { return *smtp_; }

private:
    std::unique_ptr<Mailboxes> mailboxes_;
    StepList steps_;
    std::unique_ptr<SmtpPolicy> smtp_;
};
