// The transport policies of the exchangers an attempt goes to: MTA-STS for the domain, DANE
// for each exchanger, DANE first where both are found.
#include "core/Server.h"
#include "core/mdlCommon.h"
#include "relay/Queue.h"

#include <QDateTime>
#include <QDir>
#include <QHostAddress>
#include <QPointer>

namespace {

// What DNS says of one exchanger.
struct Exchanger {
    QByteArray address;   // through DnsServer, when it is set; "": the system finds it
    Dns::Answer tlsa;
    bool bogus = false;   // its address or TLSA records failed validation
};

struct Looked {
    MtaSts::Found sts;
    std::vector<Exchanger> hosts;
};

Exchanger Ask(Dns::Resolver& dns, const QByteArray& host, bool named)
{
    Exchanger e;
    if (!QHostAddress(QString::fromLatin1(host)).isNull())
        return e;   // an address: no name to hold records
    if (named) {
        const Dns::Answer a = dns.Query(host, Dns::Type::A);
        e.address = a.records.value(0);
        e.bogus = a.serverFailure;
    }
    e.tlsa = dns.Query("_25._tcp." + host, Dns::Type::Tlsa);
    e.bogus = e.bogus || e.tlsa.serverFailure;
    return e;
}

// The policy one exchanger's connection is held to; `refused` says why none may be made.
std::shared_ptr<MxPolicy> PolicyOf(const QByteArray& domain, const QByteArray& host, const Exchanger& e, const MtaSts::Found& sts, QByteArray& refused)
{
    auto p = std::make_shared<MxPolicy>();
    p->domain = domain;
    p->mx = host;
    p->failure = sts.failure;
    if (e.bogus) {
        p->kind = TlsOutcome::Policy::Tlsa;
        p->failure = "dnssec-invalid";
        refused = "DANE: the DNS records of " + host + " failed validation";
    } else if (e.tlsa.status == Dns::Status::Ok && e.tlsa.authentic) {
        p->kind = TlsOutcome::Policy::Tlsa;
        p->enforce = true;
        p->failure.clear();
        p->strings = e.tlsa.records;
        for (const QByteArray& r : e.tlsa.records)
            if (const std::optional<Dane::Record> usable = Dane::Usable(r))
                p->tlsa << *usable;
    } else if (sts.policy && sts.policy->mode != MtaSts::Policy::Mode::None) {
        p->kind = TlsOutcome::Policy::Sts;
        p->enforce = sts.policy->mode == MtaSts::Policy::Mode::Enforce;
        p->listed = MtaSts::Matches(*sts.policy, host);
        p->strings = sts.policy->lines;
        p->failure.clear();
        if (p->enforce && !p->listed) {
            p->failure = "validation-failure";
            refused = "MTA-STS: " + host + " is not an exchanger the policy of " + domain + " names";
        }
    }
    return p;
}

}

void Queue::LoadPolicies()
{
    policies_.Load();
    const QString file = server_->Config().TlsCaFile;
    if (!file.isEmpty())
        ca_ = QSslCertificate::fromPath(QDir(mdlCommon::ProgramFolder()).absoluteFilePath(file));
    if (!file.isEmpty() && ca_.isEmpty())
        Log("Queue: TlsCaFile " + file.toUtf8() + " holds no certificate");
}

void Queue::Secure(Item& item, quint64 key)
{
    Attempt& a = item.attempts[key];
    const QByteArray domain = a.destination;
    ++looking_[domain];
    auto looked = std::make_shared<Looked>();
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    std::optional<MtaSts::Policy> kept = policies_.Find(domain, now);
    server_->Lookup(Server::Waits::Dns, domain,
        [looked, domain, hosts = a.hosts, kept, now, ca = ca_, server = server_->Config().DnsServer] {
            const auto dns = Dns::MakeResolver(server);
            looked->sts = MtaSts::Look(domain, *dns, ca, kept, now);
            for (const QString& host : hosts)
                looked->hosts.push_back(Ask(*dns, host.toLatin1(), !server.isEmpty()));
        },
        [self = QPointer<Queue>(this), looked, id = item.m.id, key, domain] {
            Item* item = self ? self->Find(id, key) : nullptr;
            if (!item)
                return;
            --self->looking_[domain];
            if (looked->sts.fresh)
                self->policies_.Keep(domain, *looked->sts.policy);
            Attempt& a = item->attempts[key];
            QStringList hosts, addresses;
            QByteArray refused;
            for (int i = 0; i < a.hosts.size(); ++i) {
                QByteArray why;
                std::shared_ptr<MxPolicy> p = PolicyOf(domain, a.hosts[i].toLatin1(), looked->hosts[size_t(i)], looked->sts, why);
                p->ca = self->ca_;
                if (!why.isEmpty()) {   // told as a connection not made
                    TellTlsOutcome(TlsOutcome{domain, p->kind, p->strings, p->mx, {}, p->failure});
                    self->Log("Queue " + id.toLatin1() + ": " + why);
                    refused = refused.isEmpty() ? why : refused;
                    continue;
                }
                hosts << a.hosts[i];
                addresses << QString::fromLatin1(looked->hosts[size_t(i)].address);
                a.policies.push_back(std::move(p));
            }
            if (hosts.isEmpty())
                return self->FinishAll(*item, key, refused, false);
            a.hosts = hosts;
            a.addresses = addresses;
            self->Connect(*item, key);
        });
}
