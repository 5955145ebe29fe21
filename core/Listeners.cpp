// The connection manager's ports and admission: the listeners, the descriptor reserve, the
// per-address limit and the memory budget at the door, and handing a new connection to
// the service of its port.
#include "core/TlsResume.h"
#include "core/Budget.h"
#include "core/ConnectionManager.h"
#include "core/Connecter.h"
#include "core/Failure.h"
#include "core/LogList.h"
#include "core/mdlCommon.h"

#include <QDateTime>
#include <QSslSocket>
#include <QTimer>
#include <sys/resource.h>
#include <unistd.h>

namespace {
QByteArray N(qint64 n) { return QByteArray::number(n); }
}

// Reports each pending connection with its descriptor before anything accepts it.
// Index 0 takes POP3 clients, 1 SMTP peers, 2 IMAP clients; a TLS listener speaks TLS from the first byte.
// There is one for each port and address of the setting Listen.
class ConnectionManager::Listener : public QTcpServer {
public:
    Listener(ConnectionManager* m, qint16 index, bool tls) : QTcpServer(m), manager(m), index(index), tls(tls) {}
protected:
    void incomingConnection(qintptr descriptor) override { manager->WS_ConnectionRequest(index, descriptor, tls); }
private:
    ConnectionManager* manager;
    qint16 index;
    bool tls;
};

namespace {
// The addresses of the setting Listen, or every address (IPv4 and IPv6) when it names none.
// Throws Failure for an entry that is not an address.
QList<QHostAddress> ListenAddresses(const QString& setting)
{
    QList<QHostAddress> addresses;
    for (const QString& entry : setting.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        QString text = entry.trimmed();
        if (text.startsWith(QLatin1Char('[')) && text.endsWith(QLatin1Char(']')))
            text = text.mid(1, text.size() - 2);
        QHostAddress a;
        if (text.isEmpty())
            continue;
        if (!a.setAddress(text))
            throw Failure(Err::InvalidArgument, QStringLiteral("Setting Listen: \"%1\" is not an IPv4 or IPv6 address").arg(entry.trimmed()));
        if (!addresses.contains(a))
            addresses << a;
    }
    return addresses;
}

// Where relay connections leave from: the setting RelaySourceAddress, else the first address of
// Listen that can reach other machines (not loopback, not every address); null: the system's choice.
QHostAddress RelaySource(const QString& setting, const QList<QHostAddress>& listen)
{
    QString text = setting.trimmed();
    if (text.startsWith(QLatin1Char('[')) && text.endsWith(QLatin1Char(']')))
        text = text.mid(1, text.size() - 2);
    if (!text.isEmpty()) {
        QHostAddress a;
        if (!a.setAddress(text))
            throw Failure(Err::InvalidArgument, QStringLiteral("Setting RelaySourceAddress: \"%1\" is not an IPv4 or IPv6 address").arg(text));
        return a;
    }
    for (const QHostAddress& a : listen)
        if (!a.isLoopback() && a != QHostAddress::AnyIPv4 && a != QHostAddress::AnyIPv6 && a != QHostAddress::Any)
            return a;
    return {};
}
}

void ConnectionManager::Listen()
{
    TlsResume::Install(settings_.TlsResumption);   // before the first TLS socket makes its SSL_CTX
    const QList<QHostAddress> addresses = ListenAddresses(settings_.Listen);
    relaySource_ = RelaySource(settings_.RelaySourceAddress, addresses);
    // Index 0 serves POP3 clients, 1 SMTP peers. The ports after the first two are opened only
    // when set; the mail clients' ports want a certificate.
    const struct { qint16 index; bool tls; const QString& text; const char* name; } ports[] = {
        {0, false, mdlCommon::Pop3Port, "Pop3"},
        {1, false, mdlCommon::SmtpPort, "SMTP"},
        {0, true, settings_.Pop3sPort, "Pop3s"},
        {1, true, settings_.SmtpsPort, "Smtps"},
        {1, false, settings_.SubmissionPort, "Submission"},
        {2, false, settings_.ImapPort, "Imap"},
        {2, true, settings_.ImapsPort, "Imaps"},
    };
    for (const auto& p : ports) {
        if (&p - ports >= 2) {
            if (p.text.trimmed().isEmpty())
                continue;
            if (!tls_.Current())
                log_.Add("TLS: the " + QByteArray(p.name) + " port listens, but without a certificate "
                         + (p.tls ? "its clients are turned away" : p.index == 2 ? "passwords are taken in clear" : "only CRAM-MD5 logins work there"));
        }
        const int port = mdlCommon::PortNumber(p.text);
        if (port < 0)
            throw Failure(Err::TypeMismatch, QStringLiteral("Type mismatch: the %1 port setting \"%2\" is not a port number (1-65535)")
                                                 .arg(QLatin1String(p.name), p.text));
        // One listener for each address: a socket listens on one address, or on all.
        for (const QHostAddress& a : addresses.isEmpty() ? QList<QHostAddress>{QHostAddress::Any} : addresses) {
            auto* l = new Listener(this, p.index, p.tls);
            listeners_.push_back(l);
            l->setListenBacklogSize(ListenBacklog);
            if (!l->listen(a, quint16(port)))
                throw Failure(Err::Socket + int(l->serverError()),
                              QStringLiteral("Cannot listen on %1 port %2%3: %4").arg(QLatin1String(p.name)).arg(port)
                                  .arg(addresses.isEmpty() ? QString() : QStringLiteral(" of ") + a.toString(), l->errorString()));
        }
    }
    sweep_->start(SweepMs);
}

void ConnectionManager::CheckDescriptors()
{
    rlimit rl {};
    const bool known = ::getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY;
    const bool full = known && qint64(sockets_) + ReservedDescriptors >= qint64(rl.rlim_cur);
    if (full == waiting_)
        return;
    waiting_ = full;
    for (Listener* l : listeners_) {
        if (!l->isListening())
            continue;
        // No room for pending connections also ends an accept loop under way at once.
        if (full) {
            l->setMaxPendingConnections(0);
            l->pauseAccepting();
        } else {
            l->setMaxPendingConnections(DefaultPending);
            l->resumeAccepting();
        }
    }
    log_.Add(full ? "Descriptors: " + N(sockets_) + " connections leave only the reserve of " + N(ReservedDescriptors)
                        + " (limit " + N(qint64(rl.rlim_cur)) + "); new connections wait"
                  : QByteArray("Descriptors: accepting again"));
}

// The port settings as they are now: the administration window may change them meanwhile.
const Service& ConnectionManager::ServiceOf(int port) const
{
    using mdlCommon::PortNumber;
    if (port == PortNumber(mdlCommon::SmtpPort) || port == PortNumber(settings_.SmtpsPort) || port == PortNumber(settings_.SubmissionPort))
        return handlers_.smtp;
    if (port == PortNumber(mdlCommon::Pop3Port) || port == PortNumber(settings_.Pop3sPort))
        return handlers_.pop3;
    if (port == PortNumber(settings_.ImapPort) || port == PortNumber(settings_.ImapsPort))
        return handlers_.imap;
    return handlers_.relay;
}

// The service's text turning a new connection away at once, or "" to serve it.
QByteArray ConnectionManager::Refuse(qint16 index, const Service& service)
{
    Slot& slot = SlotOf(index);
    const QByteArray peer = slot.peer;
    const int open = perAddress_[peer];
    std::optional<Refusal> why;
    if (open > settings_.MaxPerAddress)
        why = Refusal::TooManyFromAddress;
    else if (Budget::Spent(settings_.MemoryBudget))
        why = Refusal::Busy;
    if (!why)
        return {};
    const QByteArray text = service.refuse ? service.refuse(*why) : QByteArray("-");
    if (const int since = refusedLog_.Note(peer, QDateTime::currentMSecsSinceEpoch()); since >= 0)
        log_.Add("Refused " + peer + ": " + text + " (" + N(open) + " open; " + N(since) + " refused since the last such line)");
    slot.quiet = true;
    return text;
}

void ConnectionManager::WS_ConnectionRequest(qint16 Index, qintptr requestID, bool tls)
{
    const Turn turn(*this);
    bool accepted = false;
    try {
        const qint16 i = GetFreeIndex();
        if (i < 0)
            throw Failure(Err::Overflow, QStringLiteral("Overflow: every connection index is in use"));
        auto* s = new QSslSocket(this);
        if (!s->setSocketDescriptor(requestID)) {
            const Failure f(Err::Socket + int(s->error()), s->errorString());
            delete s;
            throw f;
        }
        accepted = true;
        // A reply goes out in several writes (a message: its line, the file, the final dot): the
        // last one must not wait for the client's delayed ACK of the one before, 40 ms a time.
        s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        PutSession(i, std::make_unique<Connecter>());
        Load(i, s);
        Slot& slot = SlotOf(i);
        slot = Slot{};
        slot.peer = PeerAddress(i);
        ++perAddress_[slot.peer];
        Touch(i);
        const Service& service = ServiceOf(s->localPort());
        if (const QByteArray refusal = Refuse(i, service); !refusal.isEmpty()) {
            if (tls) {   // no handshake for one we turn away
                Release(i);
                return;
            }
            Session(i)->SetStep(Closing);   // released once the refusal has gone out
            SendReply(i, refusal);
            return;
        }
        log_.Add("ConnectionRequest I=" + N(Index) + " R=" + N(requestID));
        if (tls) {
            auto context = tls_.Current();
            if (!context) {
                log_.Add(N(i) + "-TLS refused: no usable certificate (settings TlsCertificate, TlsKey)");
                Release(i);
                return;
            }
            ServeTls(i, std::move(context));   // the greeting waits for the handshake
        }
        if (service.accept)
            service.accept(*this, i);
    } catch (const Failure& f) {
        LogList::SysLog(f.text());
        log_.Add("Error! I=" + N(Index) + " R=" + N(requestID));
        log_.Add(f.text());
        if (!accepted)
            ::close(int(requestID));   // never accepted: do not keep the descriptor
    }
}
