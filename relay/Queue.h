#pragma once
// The relay queue's scheduler: mail for other domains is on disk (QueueFile) before it is
// acknowledged, tried at once, tried again after a temporary failure (setting RelayRetry)
// until RelayExpire has passed, and returned to its sender as a notice when refused or
// expired. It is the delivery's relay target.
#include "deliver/Delivery.h"
#include "relay/QueueFile.h"
#include "relay/RelaySession.h"

#include <QObject>
#include <QStringList>
#include <QTimer>
#include <map>
#include <memory>
#include <set>

class Server;

class Queue : public QObject, public RelayTarget {
public:
    Queue();
    ~Queue() override;

    // Reads the queue back, moving damaged files aside, and begins to deliver.
    void Start(Server& server);
    // A message just written: its recipients are tried at once (once started).
    void Add(QueuedMessage m);
    // Deferred recipients whose domain is `domain` (any domain when empty; with
    // `subdomains`, also its subdomains) are tried now. Returns how many.
    int Flush(const QString& domain = {}, bool subdomains = false);

    int Size() const;   // recipients waiting or under way

    Written Write(const QByteArray& sender, const std::vector<Copy>& copies, const QByteArray& text) override;

    // Most relay attempts under way at once, in all and to one domain: an exchanger that
    // keeps every connection waiting holds up only its own domain's mail.
    static constexpr int MaxRunning = 100;
    static constexpr int MaxPerDomain = 20;
    // Connections to a relay host at once: it takes every domain's mail, each connection
    // carries copy after copy, and providers limit how many one login may open.
    static constexpr int MaxRelayHostConnections = 4;
    // Seconds a relay host connection with nothing to carry stays open for the next copy, as
    // the well-known servers keep theirs: mail sent one message after another shares it.
    static constexpr int RelayHostIdleSeconds = 2;
    // How often the queue looks for recipients whose time has come and saves what changed.
    static constexpr int TickMs = 1000;

private:
    // An attempt under way for one recipient: the exchangers to try, the one tried now, its
    // connection. Never saved.
    struct Attempt {
        QStringList hosts;
        int host = 0;
        qint16 index = -1;
        quint64 serial = 0;
    };
    struct Item {
        QueuedMessage m;
        std::map<QByteArray, Attempt> running;   // by recipient
    };
    void Tick();
    void Kick();   // Tick soon
    void Begin(Item& item, QueuedRecipient& r);
    void Resolved(const QString& id, const QByteArray& to, const QStringList& hosts, const QString& problem);
    void Connect(Item& item, QueuedRecipient& r);
    // Puts a recipient's copy into a relay session; false with `problem` set when its text cannot be read.
    bool Prepare(Item& item, QueuedRecipient& r, RelaySession& relay, QByteArray& problem);
    // A due recipient's copy for a relay host connection that has just decided one.
    bool Reuse(RelaySession& relay, qint16 index, quint64 serial);
    // The key Tick counts running attempts under: the domain, or one for the relay host.
    QByteArray Destination(const QByteArray& to) const;
    void Ended(const QString& id, const QByteArray& to, const QByteArray& reply, RelayStep step);
    void Finish(Item& item, QueuedRecipient& r, const QByteArray& reply, bool delivered, bool permanent);
    void Bounce(Item& item, const QueuedRecipient& r, const QString& host, const QByteArray& reply, bool expired);
    void Save(Item& item);
    QueuedRecipient* Find(const QString& id, const QByteArray& to, Item** item = nullptr);
    void Log(const QByteArray& line);

    Server* server_ = nullptr;
    std::shared_ptr<const RelayHostPolicy> relayHost_;   // none: each domain's MX
    QByteArray relayHostProblem_;                        // set: the relay host's mail waits
    std::vector<std::pair<qint16, quint64>> idle_;       // relay host connections waiting for a copy (index, serial)
    std::map<QString, Item> items_;
    std::set<QString> dirty_;   // messages whose file still lists copies delivered since
    int running_ = 0;
    bool kicked_ = false;
    QTimer tick_;
};

// The one queue of the server.
Queue& TheQueue();
