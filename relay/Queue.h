#pragma once
// The relay queue's scheduler: mail for other domains is on disk (QueueFile) before it is
// acknowledged, tried at once, tried again after a temporary failure (setting RelayRetry)
// until RelayExpire has passed, and returned to its sender as a notice when refused or
// expired. It is the delivery's target for foreign copies.
#include "deliver/Step.h"
#include "relay/MtaSts.h"
#include "relay/MxLookup.h"
#include "relay/QueueFile.h"
#include "relay/RelaySession.h"

#include <QObject>
#include <QStringList>
#include <QTimer>
#include <map>
#include <memory>
#include <set>

class Server;

class Queue : public QObject, public Target {
public:
    Queue();
    ~Queue() override;

    // Reads the queue back, moving damaged files aside, and begins to deliver.
    void Start(Server& server);
    // The delivery its notices go through.
    void SetNotices(StepList steps) { notices_ = std::move(steps); }
    // A message just written: its recipients are tried at once (once started).
    void Add(QueuedMessage m);
    // Deferred recipients whose domain is `domain` (any domain when empty; with
    // `subdomains`, also its subdomains) are tried now. Returns how many.
    int Flush(const QString& domain = {}, bool subdomains = false);
    // The exchangers of `domain` as a relay finds them; a problem and none when a relay host
    // takes every domain's mail.
    void Exchangers(const QString& domain, DNS::Answer answer);

    int Size() const;   // recipients waiting or under way

    // Writes the message and its recipients to disk; Commit hands it over for delivery.
    Written Write(const QByteArray& sender, const std::vector<Copy>& copies, const QByteArray& text, size_t& failed) override;
    void Commit(Written& written) override;
    void Abort(Written& written) override;

    // Most relay attempts under way at once: an exchanger that keeps every connection waiting
    // holds up only its own domain's mail, whose connections RelayPerDomain bounds.
    static constexpr int MaxRunning = 100;
    // RCPTs of one transaction: the recipients of one message at one domain, in turns of this many.
    static constexpr int MaxRcpts = 100;
    // Connections to a relay host at once: it takes every domain's mail, each connection
    // carries copy after copy, and providers limit how many one login may open.
    static constexpr int MaxRelayHostConnections = 4;
    // Seconds a connection with nothing to carry stays open for the next copy to the same
    // place, as the well-known servers keep theirs: mail sent one message after another shares it.
    static constexpr int IdleSeconds = 2;
    // How often the queue looks for recipients whose time has come and saves what changed.
    static constexpr int TickMs = 1000;

private:
    // One transaction under way for recipients of one message at one domain: the exchangers
    // to try, the one tried now, its connection. Never saved.
    struct Attempt {
        std::vector<QByteArray> to;   // in the order of the RCPTs
        QByteArray destination;
        QStringList hosts;
        int host = 0;
        // Per host: what its connection's TLS is held to, and the address DnsServer gave it.
        std::vector<std::shared_ptr<const MxPolicy>> policies;
        QStringList addresses;
        qint16 index = -1;
        quint64 serial = 0;
    };
    struct Item {
        QueuedMessage m;
        std::map<quint64, Attempt> attempts;     // by number
        std::map<QByteArray, quint64> running;   // recipient -> its attempt
    };
    // How one recipient's part of an attempt ended.
    struct Outcome {
        QByteArray reply;
        bool delivered = false;
        bool permanent = false;
    };
    // `expiry`: also leaves exchangers that keep a message past its expiry waiting (once a second).
    void Tick(bool expiry);
    void Kick();   // Tick soon
    // A recipient for `destination` is due at `at` (seconds since the epoch) or later.
    void Due(const QByteArray& destination, qint64 at);
    // The recipients of `item` that go with `r` in one transaction: due, not under way, the same
    // destination and trace line but for the recipient named in it.
    std::vector<QByteArray> Batch(Item& item, const QueuedRecipient& r, qint64 now);
    quint64 Begin(Item& item, std::vector<QByteArray> to, const QStringList& hosts = {}, qint16 index = -1, quint64 serial = 0);
    void Resolved(const QString& id, quint64 key, const QStringList& hosts, const QString& problem);
    void Connect(Item& item, quint64 key);
    // The transport policies of an attempt's exchangers (MTA-STS, DANE) found off the event
    // thread; then Connect, or the attempt deferred when no exchanger may take the copy.
    void Secure(Item& item, quint64 key);
    void LoadPolicies();   // the MTA-STS policies kept, and TlsCaFile
    // Puts an attempt's copy into a relay session; false with `problem` set when its text cannot be read.
    bool Prepare(Item& item, quint64 key, RelaySession& relay, QByteArray& problem);
    // The next due copy to the same destination for a connection that has just decided one.
    bool Reuse(RelaySession& relay, qint16 index, quint64 serial, const QByteArray& destination, const QString& host);
    // The key connections are counted under: the domain, or one for the relay host.
    const QByteArray& Destination(const QueuedRecipient& r) const;
    int Connections(const QByteArray& destination) const;
    void Ended(const QString& id, quint64 key, const QByteArray& reply, RelayStep step, const QList<QByteArray>& rcpt);
    void Finish(Item& item, quint64 key, const std::vector<Outcome>& outcomes);
    void FinishAll(Item& item, quint64 key, const QByteArray& reply, bool permanent);
    void Bounce(Item& item, const QueuedRecipient& r, const QString& host, const QByteArray& reply, bool expired);
    void Save(Item& item);
    Item* Find(const QString& id, quint64 key);
    void Log(const QByteArray& line);

    Server* server_ = nullptr;
    StepList notices_;
    DNS dns_;   // the exchangers of each domain
    MtaSts::Store policies_;
    QList<QSslCertificate> ca_;   // TlsCaFile
    std::shared_ptr<const RelayHostPolicy> relayHost_;   // none: each domain's MX
    QByteArray relayHostProblem_;                        // set: the relay host's mail waits
    std::vector<std::pair<qint16, quint64>> idle_;       // relay host connections waiting for a copy (index, serial)
    std::map<QString, Item> items_;
    std::set<QString> dirty_;   // messages whose file still lists copies delivered since
    // Per destination: lookups under way (each to open a connection), and connections open.
    std::map<QByteArray, int> looking_, open_;
    // Per destination with recipients waiting: no earlier than this is one of them due (the
    // walk of the whole queue makes it exact; changes since only lower it).
    std::map<QByteArray, qint64> dueAt_;
    std::map<QByteArray, QString> reuseFrom_;   // per destination: the message Reuse last took a copy from
    int running_ = 0;
    quint64 attempts_ = 0;   // the last attempt's number
    bool kicked_ = false;
    QTimer tick_;
};

