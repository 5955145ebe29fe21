#include "smtp/DeliverMail.h"
#include "core/Budget.h"
#include "core/Connecter.h"
#include "core/Failure.h"
#include "core/MailStore.h"
#include "core/Server.h"
#include "core/mdlCommon.h"
#include "relay/DNS.h"

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

void Relay(Server& server, qint16 index, const QByteArray& address, const QByteArray& domain,
           const QByteArray& from, const QByteArray& head, const QByteArray& text, const std::shared_ptr<void>& held)
{
    const qint16 i = server.GetFreeIndex();
    if (i < 0) {
        server.Log(QByteArray::number(index) + "-RelayError " + address + " no free connection index");
        return;
    }
    auto relay = std::make_unique<Connecter>();
    relay->SetStep(RelayConnecting);
    relay->Message = text;
    relay->Relay.Head = head;
    relay->Relay.Held = held;
    relay->From = from;
    relay->Address << address;
    server.AddSession(i, std::move(relay));

    QString host;
    QString problem;
    try {
        host = TheDNS().GetMX(QString::fromUtf8(domain));
        if (host.isEmpty())
            problem = QStringLiteral("no mail exchanger found");
    } catch (const Failure& f) {
        problem = QString::fromUtf8(f.text());
    }
    server.Log(QByteArray::number(i) + ">Transfer " + domain);
    if (!problem.isEmpty()) {
        server.Log(QByteArray::number(i) + "-RelayError " + address + ' ' + problem.toUtf8());
        server.Release(i);
        return;
    }
    server.Connect(i, host, 25);
}

struct Copy {
    QByteArray address;
    QString folder;
    QByteArray head;    // trace headers of this copy
    QString stored;     // file name once written
};

struct Store {
    std::vector<Copy> copies;
    std::optional<Failure> failure;
    QByteArray failedAddress;
};

}

Recipient Classify(const QByteArray& address)
{
    const qsizetype at = address.indexOf('@');
    Recipient r;
    r.domain = at < 0 ? address : address.mid(at + 1);
    QString d = QString::fromUtf8(r.domain);
    if (d.endsWith(QLatin1Char('.')))
        d.chop(1);
    r.local = d.compare(mdlCommon::ServerDomain, Qt::CaseInsensitive) == 0;
    if (r.local && at >= 0)
        r.folder = MailStore::FolderForLocalPart(QString::fromUtf8(address.left(at)));
    return r;
}

void DeliverMail(Server& server, qint16 index, Envelope message, std::function<void(const QByteArray&)> done)
{
    const QByteArray host = server.LocalHostName(index);
    const QByteArray client = server.PeerAddress(index);
    auto store = std::make_shared<Store>();
    std::vector<std::pair<QByteArray, QByteArray>> foreign;   // address, domain
    QSet<QString> seen;   // one copy per mailbox and per foreign address, however often named
    for (const QByteArray& address : std::as_const(message.Address)) {
        const Recipient r = Classify(address);
        if (!r.local) {
            if (!seen.contains(QString::fromUtf8(address).toLower()))
                foreign.emplace_back(address, r.domain);
            seen.insert(QString::fromUtf8(address).toLower());
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

    // The text is held once, for as long as the store or any relay still needs it.
    const std::shared_ptr<void> held = Budget::Hold(message.Text.size());
    auto relayAll = [&server, index, foreign, message, client, host, held] {
        for (const auto& [address, domain] : foreign)
            Relay(server, index, address, domain, message.From, Received(message, client, host, address), message.Text, held);
    };
    if (store->copies.empty()) {
        relayAll();
        done({});
        return;
    }
    const QByteArray text = message.Text;
    server.RunDelivery(
        [store, text] {
            for (Copy& c : store->copies) {
                try {
                    c.stored = MailStore::Store(c.folder, c.head, text);
                } catch (const Failure& f) {
                    store->failure = f;
                    store->failedAddress = c.address;
                    break;
                }
            }
            if (store->failure)   // all copies or none: the sender will try again
                for (const Copy& c : store->copies)
                    if (!c.stored.isEmpty()) MailStore::Discard(c.folder, c.stored);
        },
        [&server, index, store, relayAll, done] {
            if (const auto& f = store->failure) {
                server.Log(QByteArray::number(index) + "-StoreError " + store->failedAddress + ' ' + f->text());
                done(f->number == Err::DiskFull ? QByteArray("452 4.3.1 Insufficient system storage")
                                                : QByteArray("451 4.3.0 Local error: the message could not be stored"));
                return;
            }
            relayAll();
            done({});
        });
}
