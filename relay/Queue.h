#pragma once
#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <map>
#include <memory>
#include <set>
#include <vector>

class Server;

// One foreign recipient still waiting for its copy to be handed over.
struct QueuedRecipient {
    QByteArray to;
    QByteArray head;        // the trace line this copy gets on top of the text
    int attempts = 0;
    qint64 next = 0;        // seconds since the epoch; 0: at once
    QByteArray reply;       // how the last attempt ended
    // While an attempt runs: the exchangers to try, the one tried now, its connection.
    bool running = false;
    QStringList hosts;
    int host = 0;
    qint16 index = -1;
    quint64 serial = 0;
};

// A message accepted for foreign recipients: Queue/<id>.eml holds its text, Queue/<id>.json
// its envelope and what each recipient still needs.
struct QueuedMessage {
    QString id;
    QByteArray from;        // "" for a delivery status notice: never answered by another
    qint64 accepted = 0;    // seconds since the epoch
    std::vector<QueuedRecipient> recipients;
};

// The relay queue: mail for other domains is on disk before it is acknowledged, tried at
// once, tried again after a temporary failure (setting RelayRetry) until RelayExpire has
// passed, and returned to its sender as a notice when refused or expired.
class Queue : public QObject {
public:
    Queue();
    ~Queue() override;

    // Program folder + "/Queue".
    static QString Folder();
    // Writes a message into the queue and flushes it to disk; any thread. Sets m.id. A
    // message that could not be written whole leaves nothing behind. Throws Failure.
    static void Write(QueuedMessage& m, const QByteArray& text);
    // Takes a written message out again (the delivery it belonged to failed).
    static void Remove(const QString& id);
    // The messages on disk; files that cannot be read are listed in `damaged`.
    static std::vector<QueuedMessage> Read(QStringList* damaged = nullptr);
    // The queue as `Tandrivel --queue` prints it.
    static QByteArray Listing();
    // Asks a running server to try every deferred recipient now (`Tandrivel --flush`).
    static QString FlushRequest();

    // Reads the queue back, moving damaged files aside, and begins to deliver.
    void Start(Server& server);
    // A message just written by Write: its recipients are tried at once (once started).
    void Add(QueuedMessage m);
    // Deferred recipients whose domain is `domain` (any domain when empty; with
    // `subdomains`, also its subdomains) are tried now. Returns how many.
    int Flush(const QString& domain = {}, bool subdomains = false);

    int Size() const;   // recipients waiting or under way

    // Most relay attempts under way at once, in all and to one domain: an exchanger that
    // keeps every connection waiting holds up only its own domain's mail.
    static constexpr int MaxRunning = 100;
    static constexpr int MaxPerDomain = 20;

private:
    struct Item {
        QueuedMessage m;
        QByteArray text;                // loaded while an attempt runs
        std::shared_ptr<void> held;     // its share of the memory budget
    };
    void Tick();
    void Kick();   // Tick soon
    void Attempt(Item& item, QueuedRecipient& r);
    void Resolved(const QString& id, const QByteArray& to, const QStringList& hosts, const QString& problem);
    void Connect(Item& item, QueuedRecipient& r);
    void Ended(const QString& id, const QByteArray& to, const QByteArray& reply, int step);
    void Finish(Item& item, QueuedRecipient& r, const QByteArray& reply, bool delivered, bool permanent);
    void Bounce(Item& item, const QueuedRecipient& r, const QByteArray& reply, bool expired);
    void Save(Item& item);
    QueuedRecipient* Find(const QString& id, const QByteArray& to, Item** item = nullptr);
    void Log(const QByteArray& line);

    Server* server_ = nullptr;
    std::map<QString, Item> items_;
    std::set<QString> dirty_;   // messages whose file still lists copies delivered since
    int running_ = 0;
    bool kicked_ = false;
    QTimer tick_;
};

// The one queue of the server.
Queue& TheQueue();
