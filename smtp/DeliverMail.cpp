#include "smtp/DeliverMail.h"
#include "core/Budget.h"
#include "core/Connecter.h"
#include "core/Failure.h"
#include "core/MailStore.h"
#include "core/Server.h"
#include "core/mdlCommon.h"
#include "relay/Queue.h"

#include <QDateTime>
#include <QSet>
#include <memory>
#include <optional>
#include <vector>

namespace {

// A peer's words in our own header line: printable ASCII only, and not too long.
QByteArray Clean(const QByteArray& text)
{
    QByteArray out = text.left(256);
    for (char& ch : out)
        if (uchar(ch) < 0x21 || uchar(ch) > 0x7e) ch = '?';
    return out;
}

QByteArray Received(const Envelope& m, const QByteArray& client, const QByteArray& host, const QByteArray& rcpt)
{
    QByteArray from = m.Helo.isEmpty() ? QByteArray("unknown") : Clean(m.Helo);
    if (!client.isEmpty())
        from += " ([" + client + "])";
    return "Received: from " + from + "\r\n\tby " + host + " with " + (m.Esmtp ? "ESMTP" : "SMTP") + "\r\n\tfor <" + Clean(rcpt)
           + ">; " + QDateTime::currentDateTime().toString(Qt::RFC2822Date).toLatin1() + "\r\n";
}

struct Copy {
    QByteArray address;
    QString folder;
    QByteArray head;    // trace headers of this copy
    QString stored;     // file name once written
};

struct Store {
    std::vector<Copy> copies;
    QueuedMessage relay;   // the foreign recipients: into the relay queue
    std::optional<Failure> failure;
    QByteArray failedAddress;
};

}

void DeliverMail(Server& server, qint16 index, Envelope message, std::function<void(const QByteArray&)> done)
{
    const QByteArray host = server.LocalHostName(index);
    const QByteArray client = server.PeerAddress(index);
    auto store = std::make_shared<Store>();
    store->relay.from = message.From;
    QSet<QString> seen;   // one copy per mailbox and per foreign address, however often named
    for (const QByteArray& address : std::as_const(message.Address)) {
        const Recipient r = Classify(address);
        if (!r.local) {
            const QString key = QString::fromUtf8(address).toLower();
            if (!seen.contains(key))
                store->relay.recipients.push_back(QueuedRecipient{address, Received(message, client, host, address), 0, 0, {}, false, {}, 0, -1, 0});
            seen.insert(key);
            continue;
        }
        const QString& folder = r.folder;
        if (folder.isEmpty()) {
            server.Log(QByteArray::number(index) + "-NoMailbox " + address);
            continue;
        }
        if (seen.contains(folder))
            continue;
        seen.insert(folder);
        const QByteArray head = "Return-Path: <" + Clean(message.From) + ">\r\n" + Received(message, client, host, address);
        store->copies.push_back(Copy{address, folder, head, {}});
    }
    if (store->copies.empty() && store->relay.recipients.empty()) {
        done({});
        return;
    }

    // Every copy and the queue entry are on disk before the 250, or none is.
    const std::shared_ptr<void> held = Budget::Hold(message.Text.size());
    server.RunDelivery(
        [store, text = std::move(message.Text), held] {
            for (Copy& c : store->copies) {
                try {
                    c.stored = MailStore::Store(c.folder, c.head, text);
                } catch (const Failure& f) {
                    store->failure = f;
                    store->failedAddress = c.address;
                    break;
                }
            }
            if (!store->failure && !store->relay.recipients.empty()) {
                try {
                    Queue::Write(store->relay, text);
                } catch (const Failure& f) {
                    store->failure = f;
                    store->failedAddress = store->relay.recipients.front().to;
                }
            }
            if (store->failure)   // all copies or none: the sender will try again
                for (const Copy& c : store->copies)
                    if (!c.stored.isEmpty()) MailStore::Discard(c.folder, c.stored);
        },
        [&server, index, store, done] {
            if (const auto& f = store->failure) {
                server.Log(QByteArray::number(index) + "-StoreError " + store->failedAddress + ' ' + f->text());
                done(f->number == Err::DiskFull ? QByteArray("452 4.3.1 Insufficient system storage")
                                                : QByteArray("451 4.3.0 Local error: the message could not be stored"));
                return;
            }
            if (!store->relay.recipients.empty())
                TheQueue().Add(std::move(store->relay));
            done({});
        });
}
