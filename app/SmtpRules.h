#pragma once
// The answers an SMTP session asks for, from the checks, the mail store and the relay queue.
#include "smtp/SmtpPolicy.h"

class Queue;

class SmtpRules : public SmtpPolicy {
public:
    // `steps` deliver each accepted message; `queue` is what ETRN flushes. Both outlive it.
    SmtpRules(const StepList& steps, Queue& queue) : steps_(steps), queue_(queue) {}

    bool Owns(const Settings& settings, const QString& user, const QByteArray& sender) const override;
    bool ChecksSender(const Client& client) const override;
    SenderCheck CheckSender(const Client& client, const QByteArray& sender, const QByteArray& helo) const override;
    QByteArray Admit(const QByteArray& address, const Client& client, Recipient& where) const override;
    void Route(Server& server, const Recipient& where, const Client& client, std::function<void(const QByteArray&)> done) const override;
    int Flush(const QString& domain, bool subdomains) const override;
    void Deliver(Server& server, Envelope message, std::function<void(const Outcome&)> done) const override;

private:
    const StepList& steps_;
    Queue& queue_;
};
