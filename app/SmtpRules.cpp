#include "app/SmtpRules.h"
#include "check/Checks.h"
#include "core/Access.h"
#include "core/TextHelper.h"
#include "core/Settings.h"
#include "core/mdlCommon.h"
#include "deliver/Delivery.h"
#include "relay/Queue.h"
#include "relay/RelaySession.h"
#include "store/Aliases.h"
#include "store/Recipient.h"

#include <QHostAddress>
#include <QHostInfo>

// A client that logged in sends as itself only (store/Aliases.h); our own networks' machines
// that did not log in send as anyone.
bool SmtpRules::Owns(const Settings& settings, const QString& user, const QByteArray& sender) const
{
    return Aliases::Owns(settings, user, sender);
}

// The sender's SPF first when a fail is refused at MAIL.
bool SmtpRules::ChecksSender(const Client& client) const
{
    return client.settings.SpfReject && Checks::Applies(client.settings, true, client.user, client.address);
}

SmtpPolicy::SenderCheck SmtpRules::CheckSender(const Client& client, const QByteArray& sender, const QByteArray& helo) const
{
    const Checks::Input in{Checks::ClientAddress(client.address), sender, helo, {}};
    const auto dns = Checks::Bounded(Dns::MakeResolver(client.settings.DnsServer), Checks::TimeLimitMs);
    const Spf::Outcome spf = Checks::CheckSpf(*dns, in, client.settings.HostName.toUtf8());
    if (spf.result == Spf::Result::Fail)
        return {Checks::SpfRefusal, "-SPF fail mailfrom=" + TextHelper::Printable(spf.domain, TextHelper::ShownDomain, false) + ": refused", {}};
    return {{}, {}, spf};
}

QByteArray SmtpRules::Admit(const QByteArray& address, const Client& client, Recipient& where) const
{
    where = Classify(client.settings, address);
    if (!where.local) {
        if (client.user.isEmpty() && (client.submission || !Access::MayRelay(client.settings, client.address)))
            return "554 5.7.1 Relay access denied";
        // Mail relayed to this machine would reach whatever listens here as if it came from here.
        return ThisHost(where.domain, client.hostName) ? "550 5.7.1 Relaying to this host is not allowed" : "";
    }
    return where.folder.isEmpty() ? "550 5.1.1 No such mailbox" : "";
}

// Whether an exchanger's name or one of its addresses is this machine's. Blocks on DNS.
static bool AnyIsThisHost(const QStringList& hosts)
{
    return std::any_of(hosts.begin(), hosts.end(), [](const QString& host) {
        const QList<QHostAddress> addresses = QHostInfo::fromName(host).addresses();
        return ThisHost(host.toUtf8(), {}) || std::any_of(addresses.begin(), addresses.end(), [](const QHostAddress& a) { return ThisHost(a.toString().toLatin1(), {}); });
    });
}

// An exchanger here would take the relayed mail back on this very port, again and again: only
// while this server listens where relays connect.
void SmtpRules::Route(Server& server, const Recipient& where, const Client& client, std::function<void(const QByteArray&)> done) const
{
    if (mdlCommon::PortNumber(server.Config().SmtpPort) != SmtpRelayPort)
        return done({});
    const QString domain = QString::fromUtf8(where.domain);
    queue_.Exchangers(domain, [&server, domain, address = client.address, done = std::move(done)](const QStringList& hosts, const QString& problem) {
        auto loops = std::make_shared<bool>(false);
        const QStringList tried = hosts.isEmpty() && problem.isEmpty() ? QStringList{domain} : hosts;   // no MX: its own address
        server.Lookup(Server::Waits::Dns, address, [loops, tried] { *loops = AnyIsThisHost(tried); },
                      [loops, done] { done(*loops ? "554 5.4.6 Mail for this domain loops back to this host" : ""); });
    });
}

int SmtpRules::Flush(const QString& domain, bool subdomains) const { return queue_.Flush(domain, subdomains); }

void SmtpRules::Deliver(Server& server, Envelope message, std::function<void(const Outcome&)> done) const
{
    ::Deliver(server, steps_, std::move(message), std::move(done));
}
