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

// One message file to write; filled in off the event thread.
struct LocalCopy {
    QString folder;
    QByteArray address;
    QByteArray text;
    QByteArray error;
};

void Relay(Server& server, qint16 index, const QByteArray& address, const QByteArray& domain,
           const QByteArray& from, const QByteArray& text)
{
    const qint16 i = server.GetFreeIndex();
    if (i < 0) {
        server.Log(QByteArray::number(index) + "-RelayError " + address + " no free connection index");
        return;
    }
    auto relay = std::make_unique<Connecter>();
    relay->SetStep(7);
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
    auto copies = std::make_shared<std::vector<LocalCopy>>();
    for (const Connecter::Transaction& t : finished) {
        const qsizetype count = t.Address.size();
        for (qsizetype r = 0; r < count; ++r) {
            const QByteArray& address = t.Address[r];
            const qsizetype at = address.indexOf('@');
            const QByteArray localPart = at < 0 ? QByteArray() : address.left(at);
            const QByteArray domain = at < 0 ? address : address.mid(at + 1);
            if (QString::fromUtf8(domain) != mdlCommon::ServerDomain) {
                Relay(server, index, address, domain, t.From, t.Text);
                continue;
            }
            const QString folder = MailStore::MailboxFolder(QString::fromUtf8(localPart));
            if (folder.isEmpty())
                server.Log(QByteArray::number(index) + "-NoMailbox " + address);
            else
                copies->push_back(LocalCopy{folder, address, t.Text, {}});
        }
    }
    if (copies->empty()) {
        if (then) then();
        return;
    }
    server.RunDelivery(
        [copies] {
            for (LocalCopy& copy : *copies) {
                try {
                    MailStore::Store(copy.folder, copy.text);
                } catch (const Failure& f) {
                    copy.error = f.text();
                }
            }
        },
        [&server, index, copies, then] {
            for (const LocalCopy& copy : *copies)
                if (!copy.error.isEmpty())
                    server.Log(QByteArray::number(index) + "-StoreError " + copy.address + ' ' + copy.error);
            if (then) then();
        });
}
