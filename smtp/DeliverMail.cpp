#include "smtp/DeliverMail.h"
#include "core/Connecter.h"
#include "core/Failure.h"
#include "core/MailStore.h"
#include "core/Server.h"
#include "core/mdlCommon.h"
#include "relay/DNS.h"

#include <memory>
#include <vector>

namespace {

// One recipient of one finished message, in RCPT order.
struct Copy {
    QByteArray address;
    QByteArray localPart;
    QByteArray domain;
    QByteArray from;
    QByteArray text;
    QString folder;     // the mailbox, once known to be local and present
    QByteArray error;   // a store that failed; filled in off the event thread
};
using Copies = std::shared_ptr<std::vector<Copy>>;

void Relay(Server& server, qint16 index, const QByteArray& address, const QByteArray& domain,
           const QByteArray& from, const QByteArray& text)
{
    const qint16 i = server.GetFreeIndex();
    if (i < 0) {
        server.Log(QByteArray::number(index) + "-RelayError " + address + " no free connection index");
        return;
    }
    auto relay = std::make_unique<Connecter>();
    relay->SetStep(RelayConnecting);
    // The relay sends its text and then CR LF "." CR LF.
    relay->Message = text.endsWith("\r\n") ? text.chopped(2) : text;
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

// Serves the copies from `next` on, in RCPT order. A run of local copies is written off the
// event thread; a relay after it starts only once those files are on disk.
void Walk(Server& server, qint16 index, Copies copies, size_t next, std::function<void()> then)
{
    std::vector<size_t> batch;
    for (; next < copies->size(); ++next) {
        Copy& c = (*copies)[next];
        if (QString::fromUtf8(c.domain) != mdlCommon::ServerDomain) {
            if (!batch.empty())
                break;
            Relay(server, index, c.address, c.domain, c.from, c.text);
            continue;
        }
        // Trailing blanks are dropped only from mail IDs read from the table, not from addresses.
        if (!c.localPart.endsWith(' '))
            c.folder = MailStore::MailboxFolder(QString::fromUtf8(c.localPart));
        if (c.folder.isEmpty())
            server.Log(QByteArray::number(index) + "-NoMailbox " + c.address);
        else
            batch.push_back(next);
    }
    if (batch.empty()) {
        if (then) then();
        return;
    }
    server.RunDelivery(
        [copies, batch] {
            for (size_t i : batch) {
                Copy& c = (*copies)[i];
                try {
                    MailStore::Store(c.folder, c.text);
                } catch (const Failure& f) {
                    c.error = f.text();
                }
            }
        },
        [&server, index, copies, batch, next, then] {
            for (size_t i : batch)
                if (!(*copies)[i].error.isEmpty())
                    server.Log(QByteArray::number(index) + "-StoreError " + (*copies)[i].address + ' ' + (*copies)[i].error);
            Walk(server, index, copies, next, then);
        });
}

}

void DeliverMail(Server& server, qint16 index, std::function<void()> then)
{
    Connecter* c = server.Session(index);
    if (!c) {
        if (then) then();
        return;
    }
    const QList<Connecter::Transaction> finished = std::move(c->Finished);
    c->Finished.clear();
    auto copies = std::make_shared<std::vector<Copy>>();
    for (const Connecter::Transaction& t : finished) {
        const qsizetype count = t.Address.size();
        for (qsizetype r = 0; r < count; ++r) {
            const QByteArray& address = t.Address[r];
            const qsizetype at = address.indexOf('@');
            const QByteArray localPart = at < 0 ? QByteArray() : address.left(at);
            const QByteArray domain = at < 0 ? address : address.mid(at + 1);
            copies->push_back(Copy{address, localPart, domain, t.From, t.Text, {}, {}});
        }
    }
    Walk(server, index, copies, 0, std::move(then));
}
