#pragma once
// MTA-STS (RFC 8461) for the mail we relay: a domain's policy is found through its
// `_mta-sts` TXT record, fetched over verified HTTPS, kept for its max_age in a file of the
// program folder (across restarts), and says which exchangers take the domain's mail over
// verified TLS.
#include "dns/Resolver.h"

#include <QByteArray>
#include <QList>
#include <QSslCertificate>
#include <QString>
#include <map>
#include <optional>

namespace MtaSts {

struct Policy {
    enum class Mode { None, Testing, Enforce };
    Mode mode = Mode::None;
    QList<QByteArray> mx;      // the exchangers' names, "*.example.net" for any one label
    qint64 maxAge = 0;         // seconds
    QList<QByteArray> lines;   // the policy's lines as served, for the reports
    QByteArray id;             // the TXT record's id it was fetched under
    qint64 until = 0;          // seconds since the epoch it is kept to
};

// The id of the domain's one "v=STSv1" TXT record; "" when there is none (or more than one).
QByteArray RecordId(const QList<QByteArray>& txt);
// The policy a fetched text holds; none when it is not a valid one.
std::optional<Policy> Parse(const QByteArray& text);
// Whether `host` is one of the policy's exchangers.
bool Matches(const Policy& policy, const QByteArray& host);

// The longest a fetch takes, and the most it reads, before it is given up.
inline constexpr int FetchSeconds = 30;
inline constexpr qsizetype MostPolicyBytes = 64 * 1024;

// What looking a domain's policy up came to: the policy in force (none: mail goes as if
// there were none), a policy newly fetched to keep, and the failure for the reports.
struct Found {
    std::optional<Policy> policy;
    bool fresh = false;
    QByteArray failure;   // "sts-policy-fetch-error", "sts-policy-invalid" or ""
};

// Asks the TXT record and, when its id is not the one `kept` was fetched under, fetches the
// policy from `https://mta-sts.<domain>/` (the host's address asked through `dns`). Blocks:
// never on the event thread.
Found Look(const QByteArray& domain, Dns::Resolver& dns, const QList<QSslCertificate>& ca, const std::optional<Policy>& kept, qint64 now);

// The policies kept, read from and written to the file "MtaStsPolicies.txt" of the program
// folder. Event thread only.
class Store {
public:
    void Load();
    std::optional<Policy> Find(const QByteArray& domain, qint64 now) const;
    void Keep(const QByteArray& domain, const Policy& policy);
private:
    void Save() const;
    std::map<QByteArray, Policy> kept_;
};

}
