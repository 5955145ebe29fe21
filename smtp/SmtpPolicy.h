#pragma once
// What an SMTP session asks of the rest of the server, which app/ answers: whether a sender
// is taken at MAIL, where a recipient goes at RCPT, what ETRN sets going, and the delivery of
// an accepted message.
#include "deliver/Envelope.h"
#include "deliver/Step.h"

#include <QByteArray>
#include <QString>
#include <any>
#include <functional>

class Server;
struct Settings;

class SmtpPolicy {
public:
    virtual ~SmtpPolicy() = default;

    // The client a question is about.
    struct Client {
        const Settings& settings;   // the server's, alive as long as it
        QByteArray address;    // as trace headers write it
        QByteArray hostName;   // this server's name on its connection
        QString user;          // who logged in, "" for nobody
        bool submission = false;   // on the submission port
    };
    // What the check of a sender at MAIL found.
    struct SenderCheck {
        QByteArray refusal;   // "" when the sender is taken, else the reply
        QByteArray log;       // the log line of a refusal, after the connection's number
        std::any found;       // what the delivery takes up again, the checker's own
    };

    // MAIL: whether the logged-in `user` may send as `sender`.
    virtual bool Owns(const Settings& settings, const QString& user, const QByteArray& sender) const = 0;
    // MAIL: whether the sender is checked (CheckSender) before MAIL is answered.
    virtual bool ChecksSender(const Client& client) const = 0;
    // Blocks on DNS: runs off the event thread.
    virtual SenderCheck CheckSender(const Client& client, const QByteArray& sender, const QByteArray& helo) const = 0;
    // RCPT: "" when `address` may be taken, else the reply; `where` gets where it goes.
    virtual QByteArray Admit(const QByteArray& address, const Client& client, Recipient& where) const = 0;
    // RCPT of a foreign recipient that Admit took: `done` gets "" or the refusal, on the event
    // thread, once where its mail would go is known (perhaps at once).
    virtual void Route(Server& server, const Recipient& where, const Client& client, std::function<void(const QByteArray&)> done) const = 0;
    // ETRN: the deferred mail for `domain` (and with `subdomains` its subdomains') is tried
    // now. Returns how many recipients.
    virtual int Flush(const QString& domain, bool subdomains) const = 0;
    // An accepted message goes on its way; `done` runs once on the event thread.
    virtual void Deliver(Server& server, Envelope message, std::function<void(const Outcome&)> done) const = 0;
};
