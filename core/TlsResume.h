#pragma once
#include <QByteArray>
#include <QHash>
#include <QString>

// Session resumption. A renewed certificate brings a new SSL_CTX (and Qt makes one for every
// relay socket), so the ticket keys OpenSSL draws for each context would not open a ticket an
// earlier one gave out. These keys are the process's: drawn with RAND_bytes, replaced every
// RotateSeconds, the one before still accepted (and its tickets renewed) for as long again.
namespace TlsResume {

constexpr qint64 RotateSeconds = 12 * 3600;

// From now on every SSL_CTX of the process encrypts and opens tickets with the process's
// keys (on), or gives out none (off). Once, before the first TLS socket; later calls change nothing.
void Install(bool on);

// For tests: the keys as if `seconds` had passed since they were drawn.
void AgeKeys(qint64 seconds);

// The tickets our relay connections were given, by the exchanger's address and port, so the
// next connection to the same one resumes. Bounded: the oldest go first.
class ClientTickets {
public:
    QByteArray Find(const QString& peer) const { return tickets_.value(peer); }
    void Keep(const QString& peer, const QByteArray& ticket);

private:
    static constexpr int Most = 1000;
    QHash<QString, QByteArray> tickets_;
    QList<QString> order_;
};

// Those of this process: all its connections run on the one event thread.
ClientTickets& Relay();

}
