#pragma once
// What the checks on mail from outside found (SPF, every DKIM signature, DMARC), said once
// as an Authentication-Results header under the trace line, and what it means for the
// message: kept, kept marked as spam, or refused.
#include "dns/Resolver.h"
#include "check/DmarcFacts.h"
#include "check/Spf.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <functional>
#include <optional>

struct Settings;

namespace Checks {

// Whether a message is checked: it came by SMTP, with the checks on, from a client that
// neither logged in nor is one of RelayNetworks (those are ours, and signed instead).
bool Applies(const Settings& settings, bool bySmtp, const QString& user, const QByteArray& client);
// A client address as the trace line writes it ("192.0.2.1", "IPv6:2001:db8::1").
QHostAddress ClientAddress(const QByteArray& client);
// How long all the DNS answers of one message may take together.
inline constexpr int TimeLimitMs = 20000;

struct Input {
    QHostAddress client;
    QByteArray sender;               // MAIL FROM without <>; "" for the null sender
    QByteArray helo;
    std::optional<Spf::Outcome> spf; // found at MAIL FROM already
};

struct Verdict {
    QByteArray header;         // Authentication-Results (and X-Spam-Flag), each ending in CR LF
    QList<QByteArray> log;     // one line per outcome
    QByteArray refusal;        // "" or the reply that refuses the message
    bool quarantined = false;  // kept, marked as spam
    std::optional<DmarcFacts> facts;   // for the aggregate reports, when a DMARC record was used
};

// Runs the checks of a message text as stored; blocks on DNS. `authservId` is HostName.
Verdict Run(const Settings& settings, Dns::Resolver& dns, const Input& in, const QByteArray& text, const QByteArray& authservId, qint64 now);

// SPF alone, as MAIL FROM asks for it when a fail is refused there.
Spf::Outcome CheckSpf(Dns::Resolver& dns, const Input& in, const QByteArray& receiver);

// A resolver that gives up on every query once `ms` have passed since it was made, or once
// `stopped` says so, so that one message's checks end in bounded time however slow the name
// server, and soon when the server stops.
std::unique_ptr<Dns::Resolver> Bounded(std::unique_ptr<Dns::Resolver> inner, int ms, std::function<bool()> stopped = {});

// Log line and refusal texts.
inline constexpr char SpfRefusal[] = "550 5.7.23 SPF validation failed";
QByteArray DmarcRefusal(const QByteArray& domain);
inline constexpr char SeveralAuthorsRefusal[] = "550 5.7.1 Rejected: From names authors of more than one domain";

}
