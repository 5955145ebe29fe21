#pragma once
// DNS answers for the checks on arriving mail (SPF, DKIM keys, DMARC policies) and the relay's
// transport policies (MTA-STS, TLSA). A query blocks, so it is only ever asked off the event
// thread. The relay's MX lookup is not this: it keeps its script.
#include <QByteArray>
#include <QHash>
#include <QList>
#include <memory>

namespace Dns {

enum class Type { A = 1, Ptr = 12, Mx = 15, Txt = 16, Aaaa = 28, Tlsa = 52 };

enum class Status {
    Ok,            // records found (the list may still be empty only for a name with no such type)
    NoSuchDomain,  // NXDOMAIN
    NoData,        // the name exists, no record of this type
    TempError,     // time-out, SERVFAIL, no server, a reply we could not read
};

struct Answer {
    Status status = Status::TempError;
    // TXT: the character-strings of one record joined, one entry per record; A and AAAA: the
    // address as text ("192.0.2.1", "2001:db8::1"); MX: "<preference> <host>"; PTR: the name.
    // Names never end in a dot. Names, here and in Query, are the bytes of their labels joined by
    // dots, without the escapes of the DNS presentation form. TLSA: "<usage> <selector>
    // <matching> <hex>".
    QList<QByteArray> records;
    // A resolver on this machine validated the answer (its AD bit): only then is it trusted
    // to hold a policy (DANE).
    bool authentic = false;
    // TempError because the server said SERVFAIL (a validating resolver: a bogus signature),
    // not a silence.
    bool serverFailure = false;
};

class Resolver {
public:
    virtual ~Resolver() = default;
    // Blocks until the answer or the time-out; any thread but the event thread.
    virtual Answer Query(const QByteArray& name, Type type) = 0;
};

// Asks `server` (the setting DnsServer: an address, port 53), or the system's
// resolvers when it is empty. Each query gives up after `timeoutMs` in all.
std::unique_ptr<Resolver> MakeResolver(const QString& server, int timeoutMs = 8000);

// Fixed answers, for tests and the fuzz targets: what is not in the table is NoSuchDomain.
class Table : public Resolver {
public:
    void Add(const QByteArray& name, Type type, const QByteArray& record);
    void Set(const QByteArray& name, Type type, Status status);
    Answer Query(const QByteArray& name, Type type) override;
    int queries = 0;   // how many were asked
private:
    QHash<QByteArray, Answer> answers_;   // lower-case name + '/' + type
    QHash<QByteArray, bool> names_;       // names that exist
};

}
