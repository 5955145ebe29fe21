#include "core/ConnectionManager.h"
#include "core/Budget.h"
#include "core/Connecter.h"
#include "core/Failure.h"
#include "core/LogList.h"
#include "core/mdlCommon.h"

#include <QDateTime>
#include <QHostInfo>
#include <QPointer>
#include <QSslCipher>
#include <QSslSocket>
#include <QTimer>
#include <sys/resource.h>
#include <unistd.h>
#include <utility>

namespace {
QByteArray N(qint64 n) { return QByteArray::number(n); }
constexpr qint16 MaxIndex = 32767;
}

// Reports each pending connection with its descriptor before anything accepts it.
// Index 0 takes POP3 clients, 1 SMTP peers; a TLS listener speaks TLS from the first byte.
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

ConnectionManager::ConnectionManager(LogList& log, QObject* parent)
    : QObject(parent), log_(log), hostName_(QHostInfo::localHostName().toUtf8())
{
    ws_.resize(2, nullptr);
    // Flushes wait on the disk, not the processor: several at once let the file system
    // commit them together.
    writers_.setMaxThreadCount(16);
    listeners_[0] = new Listener(this, 0, false);
    listeners_[1] = new Listener(this, 1, false);
    listeners_[2] = new Listener(this, 0, true);
    listeners_[3] = new Listener(this, 1, true);
    tls_.Warning = [this](const QString& line) { log_.Add(line.toUtf8()); };
    sweep_ = new QTimer(this);
    connect(sweep_, &QTimer::timeout, this, &ConnectionManager::Sweep);
}

ConnectionManager::Slot& ConnectionManager::SlotOf(qint16 index)
{
    if (size_t(index) >= slots_.size())
        slots_.resize(size_t(index) + 1);
    return slots_[size_t(index)];
}

void ConnectionManager::Touch(qint16 index) { SlotOf(index).active = QDateTime::currentMSecsSinceEpoch(); }

// What a connection holds now of the memory budget: its buffers and unsent replies. A
// relay's text is counted once for all relays of the message (Connecter::Relay.Held).
void ConnectionManager::Account(qint16 index)
{
    qint64 now = 0;
    if (const Connecter* c = Session(index))
        now += c->Command.size() + c->Smtp.Pending.size() + (IsRelayStep(c->Step()) ? 0 : c->Message.size());
    if (const QSslSocket* s = Element(index))
        now += s->bytesToWrite() + s->encryptedBytesToWrite();
    Slot& slot = SlotOf(index);
    Budget::Add(now - slot.accounted);
    slot.accounted = now;
    if (const bool spent = Budget::Spent(); spent != budgetSpent_) {
        budgetSpent_ = spent;
        log_.Add("Memory budget: " + N(Budget::Held() >> 20) + " MiB held of " + N(Budget::Limit() >> 20) + " MiB; "
                 + (spent ? "new messages and connections are turned away" : "serving again"));
    }
}

// Time-outs: a client that stays silent, an exchanger that never answers, and a peer that
// never takes our last reply do not keep their connection for ever.
void ConnectionManager::Sweep()
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    for (size_t i = 2; i < ws_.size(); ++i) {
        const qint16 index = qint16(i);
        Connecter* c = Session(index);
        if (!ws_[i] || !c || stalled_.count(index) || c->Smtp.Delivering)
            continue;
        Slot& slot = SlotOf(index);
        const int step = c->Step();
        const qint64 limit = 1000 * qint64(step == Closing               ? 30
                                           : step == Pop3Session         ? mdlCommon::Pop3Timeout
                                           : step == RelayTextSent       ? 600
                                           : IsRelayStep(step)           ? 300
                                                                         : mdlCommon::SmtpTimeout);
        if (now - slot.active <= limit)
            continue;
        log_.Add(N(index) + "-Timeout: nothing for " + N((now - slot.active) / 1000) + " s; connection closed");
        if (IsRelayStep(step))
            c->Relay.Error = "no reply for " + N((now - slot.active) / 1000) + " s";
        if (step == Closing || step == Pop3Session || IsRelayStep(step) || slot.timedOut) {
            Release(index);   // a POP3 session's marks are taken back
            continue;
        }
        slot.timedOut = true;
        Touch(index);
        c->SetStep(Closing);
        SendReply(index, "421 4.4.2 Timeout");
    }
}

// Why a new connection is turned away at once, or "" to serve it.
QByteArray ConnectionManager::Refusal(qint16 index, bool smtp)
{
    Slot& slot = SlotOf(index);
    const QByteArray peer = slot.peer;
    const int open = perAddress_[peer];
    QByteArray why;
    if (open > mdlCommon::MaxPerAddress)
        why = smtp ? "421 4.7.0 Too many connections" : "-ERR Too many connections";
    else if (Budget::Spent())
        why = smtp ? "421 4.3.2 System busy, try again later" : "-ERR System busy, try again later";
    if (why.isEmpty())
        return {};
    // One line a minute per address, however many it sends.
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    auto& [logged, since] = refusedLogged_[peer];
    ++since;
    if (now - logged >= 60000) {
        log_.Add("Refused " + peer + ": " + why + " (" + N(open) + " open; " + N(since) + " refused since the last such line)");
        logged = now;
        since = 0;
    }
    if (refusedLogged_.size() > 100000)
        refusedLogged_.clear();
    slot.quiet = true;
    return why;
}

ConnectionManager::~ConnectionManager()
{
    writers_.waitForDone();   // no message is left half written at exit
    for (QSslSocket* s : ws_)
        if (s) { s->disconnect(this); s->abort(); }
}

void ConnectionManager::PutSession(qint16 index, std::unique_ptr<Connecter> session)
{
    if (size_t(index) >= sessions_.size())
        sessions_.resize(size_t(index) + 1);
    auto& slot = sessions_[size_t(index)];
    sessionCount_ += (slot ? 0 : 1) - (session ? 0 : 1);
    slot = std::move(session);
}

bool ConnectionManager::IsListening() const
{
    return listeners_[0]->isListening() || listeners_[1]->isListening() || listeners_[2]->isListening() || listeners_[3]->isListening();
}

void ConnectionManager::Listen()
{
    const struct { Listener* l; const QString& text; const char* name; } ports[] = {
        {listeners_[0], mdlCommon::Pop3Port, "Pop3"},
        {listeners_[1], mdlCommon::SmtpPort, "SMTP"},
        {listeners_[2], mdlCommon::Pop3sPort, "Pop3s"},
        {listeners_[3], mdlCommon::SmtpsPort, "Smtps"},
    };
    for (const auto& p : ports) {
        if (p.l == listeners_[2] || p.l == listeners_[3]) {
            if (p.text.trimmed().isEmpty())
                continue;   // no port with TLS from the first byte
            if (!tls_.Current())
                log_.Add("TLS: the " + QByteArray(p.name) + " port listens, but without a certificate its clients are turned away");
        }
        const int port = mdlCommon::PortNumber(p.text);
        if (port < 0)
            throw Failure(Err::TypeMismatch, QStringLiteral("Type mismatch: the %1 port setting \"%2\" is not a port number (1-65535)")
                                                 .arg(QLatin1String(p.name), p.text));
        // Bursts of new connections wait in the kernel's queue instead of being dropped.
        p.l->setListenBacklogSize(4096);
        if (!p.l->listen(QHostAddress::Any, quint16(port)))
            throw Failure(Err::Socket + int(p.l->serverError()),
                          QStringLiteral("Cannot listen on %1 port %2: %3").arg(QLatin1String(p.name)).arg(port).arg(p.l->errorString()));
    }
    sweep_->start(1000);
}

QSslSocket* ConnectionManager::Element(qint16 index) const
{
    return index >= 2 && size_t(index) < ws_.size() ? ws_[size_t(index)] : nullptr;
}

QSslSocket* ConnectionManager::Load(qint16 index, QSslSocket* s)
{
    if (size_t(index) >= ws_.size())
        ws_.resize(size_t(index) + 1, nullptr);
    if (!s)
        s = new QSslSocket(this);
    if (!ws_[size_t(index)])
        ++sockets_;
    ws_[size_t(index)] = s;
    CheckDescriptors();
    connect(s, &QSslSocket::readyRead, this, [this, index] { WS_DataArrival(index); });
    s->setReadBufferSize(ReadBufferSize);
    // A send is complete once the bytes have reached the system: plain text at once, text
    // under TLS when its encrypted form has.
    auto written = [this, index, s](bool encryptedSignal) {
        if (encryptedSignal != s->isEncrypted() || settling_)
            return;   // a write of Settle's: it reports the completion itself
        Written(index, s);
    };
    connect(s, &QSslSocket::bytesWritten, this, [written] { written(false); });
    connect(s, &QSslSocket::encryptedBytesWritten, this, [written] { written(true); });
    connect(s, &QSslSocket::disconnected, this, [this, index] { WS_Close(index); });
    connect(s, &QSslSocket::connected, this, [this, index] { WS_Connect(index); });
    connect(s, &QSslSocket::encrypted, this, [this, index, s] {
        const QSslCipher cipher = s->sessionCipher();
        log_.Add(N(index) + "-TLS " + cipher.protocolString().toLatin1() + ' ' + cipher.name().toLatin1());
        if (auto then = std::move(onEncrypted_[index]); then)
            then();
        onEncrypted_.erase(index);
    });
    connect(s, &QSslSocket::errorOccurred, this, [this, index, s](QAbstractSocket::SocketError e) {
        if (e == QAbstractSocket::RemoteHostClosedError)
            return;   // the peer's close: the close event follows
        WS_Error(index, Err::Socket + int(e), s->errorString());
        if (e == QAbstractSocket::SslHandshakeFailedError && Element(index) == s)
            Release(index);   // that connection only
    });
    return s;
}

void ConnectionManager::Written(qint16 index, QSslSocket* s)
{
    Touch(index);
    Account(index);
    if (s->bytesToWrite() > 0 || s->encryptedBytesToWrite() > 0)
        WS_SendProgress(index);
    else
        WS_SendComplete(index);
    // Input held back while the backlog was large.
    if (Element(index) == s && s->bytesAvailable() > 0 && s->bytesToWrite() <= MaxBacklog)
        WS_DataArrival(index);
}

void ConnectionManager::Settle()
{
    // The replies of a handled event go out as soon as it is over, not one turn of the event
    // loop later when the socket reports room: a client waiting for its answer gets it a
    // poll sooner. The log lines before them are written out first.
    ++turnDepth_;   // what the completions reply is sent the same way
    while (!replied_.empty()) {
        log_.Flush();
        const auto batch = std::exchange(replied_, {});
        for (const auto& [index, s] : batch) {
            if (Element(index) != s || s->bytesToWrite() == 0 || s->mode() != QSslSocket::UnencryptedMode)
                continue;   // gone, already out, or TLS begun behind it: the event loop's
            settling_ = true;
            s->flush();
            settling_ = false;
            if (Element(index) == s && s->bytesToWrite() == 0)
                Written(index, s);
        }
    }
    --turnDepth_;
}

void ConnectionManager::Unload(qint16 index)
{
    QSslSocket* s = Element(index);
    if (!s)
        return;
    ws_[size_t(index)] = nullptr;
    while (ws_.size() > 2 && !ws_.back())
        ws_.pop_back();
    s->disconnect(this);
    // Closed once the event that brought us here is over: a TLS socket must not lose its
    // session while it is still inside its own signal.
    QMetaObject::invokeMethod(s, [s] {
        if (!s->isEncrypted() || s->state() != QAbstractSocket::ConnectedState) {
            s->close();
            s->deleteLater();
            return;
        }
        // TLS ends with its own closing alert, then the connection; a peer that never lets
        // go is cut off after a while.
        connect(s, &QAbstractSocket::disconnected, s, &QObject::deleteLater);
        QTimer::singleShot(10000, s, [s] {
            s->abort();
            s->deleteLater();
        });
        s->disconnectFromHost();
    }, Qt::QueuedConnection);
    --sockets_;
    CheckDescriptors();
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

qint16 ConnectionManager::GetFreeIndex()
{
    size_t i = 2;
    while (i < ws_.size() && ws_[i])
        ++i;
    if (i > size_t(MaxIndex))
        return -1;
    PutSession(qint16(i), nullptr);
    return qint16(i);
}

Connecter* ConnectionManager::Session(qint16 index)
{
    return index >= 0 && size_t(index) < sessions_.size() ? sessions_[size_t(index)].get() : nullptr;
}

void ConnectionManager::AddSession(qint16 index, std::unique_ptr<Connecter> session)
{
    PutSession(index, std::move(session));
    if (!Element(index))
        Load(index);
    SlotOf(index) = Slot{};
    Touch(index);
}

void ConnectionManager::Connect(qint16 index, const QString& host, quint16 port)
{
    QSslSocket* s = Element(index);
    if (!s)
        s = Load(index);
    s->connectToHost(host, port);
}

void ConnectionManager::Release(qint16 index)
{
    WS_Close(index);
}

QByteArray ConnectionManager::LocalHostName(qint16) { return hostName_; }

// The port settings as they are now: the administration window may change them meanwhile.
bool ConnectionManager::IsSmtpPort(int port)
{
    return port == mdlCommon::PortNumber(mdlCommon::SmtpPort) || port == mdlCommon::PortNumber(mdlCommon::SmtpsPort);
}

bool ConnectionManager::IsPop3Port(int port)
{
    return port == mdlCommon::PortNumber(mdlCommon::Pop3Port) || port == mdlCommon::PortNumber(mdlCommon::Pop3sPort);
}

bool ConnectionManager::OverBudget() { return Budget::Spent(); }

bool ConnectionManager::TlsAvailable() { return tls_.Current().has_value(); }

bool ConnectionManager::IsEncrypted(qint16 index)
{
    const QSslSocket* s = Element(index);
    return s && s->mode() != QSslSocket::UnencryptedMode;
}

void ConnectionManager::StartTls(qint16 index, std::function<void()> encrypted)
{
    QSslSocket* s = Element(index);
    if (!s)
        return;
    // What the client sent behind its STARTTLS in clear is dropped, not read as if encrypted.
    s->readAll();
    if (Connecter* c = Session(index))
        c->Command.clear();
    if (encrypted)
        onEncrypted_[index] = std::move(encrypted);
    if (Connecter* c = Session(index); c && IsRelayStep(c->Step())) {
        // As a relay, TLS when the exchanger offers it, trusted or not: better than clear text.
        QSslConfiguration config = QSslConfiguration::defaultConfiguration();
        config.setProtocol(QSsl::TlsV1_2OrLater);
        config.setPeerVerifyMode(QSslSocket::VerifyNone);
        s->setSslConfiguration(config);
        s->startClientEncryption();
        return;
    }
    const auto config = tls_.Current();
    if (!config) {
        Release(index);
        return;
    }
    s->setSslConfiguration(*config);
    s->startServerEncryption();
}

void ConnectionManager::SendReplyAfter(qint16 index, const QByteArray& text, int ms)
{
    const Connecter* c = Session(index);
    if (ms <= 0 || !c) {
        SendReply(index, text);
        return;
    }
    // Nothing is read from the connection until the reply has gone.
    stalled_.insert(index);
    QTimer::singleShot(ms, this, [this, index, text, serial = c->Serial] {
        const Connecter* now = Session(index);
        if (!now || now->Serial != serial)
            return;
        stalled_.erase(index);
        SendReply(index, text);
        if (QSslSocket* s = Element(index); s && s->bytesAvailable() > 0)
            WS_DataArrival(index);
    });
}

QByteArray ConnectionManager::PeerAddress(qint16 index)
{
    const QSslSocket* s = Element(index);
    if (!s)
        return {};
    bool v4 = false;
    const quint32 ip4 = s->peerAddress().toIPv4Address(&v4);
    if (v4)
        return QHostAddress(ip4).toString().toLatin1();
    return "IPv6:" + s->peerAddress().toString().toLatin1();
}

void ConnectionManager::RunDelivery(std::function<void()> work, std::function<void()> done)
{
    writers_.start([this, work = std::move(work), done = std::move(done)]() mutable {
        work();
        QMetaObject::invokeMethod(this, [this, done = std::move(done)] {
            const Turn turn(*this);
            done();
        }, Qt::QueuedConnection);
    });
}

void ConnectionManager::Log(const QByteArray& line) { log_.Add(line); }

void ConnectionManager::LogReceived(qint16 index, const QByteArray& buffer) { log_.Add(N(index) + '<', buffer); }

void ConnectionManager::SendReply(qint16 index, const QByteArray& text) { SendReplyTaken(index, text); }

void ConnectionManager::SendReplyTaken(qint16 index, QByteArray text)
{
    QSslSocket* s = Element(index);
    if (!s) {
        log_.Add(N(index) + "-Ignored: reply for a connection that is gone");
        return;
    }
    // Logged first: the log keeps the head of a long text, not the text itself, so the CR LF
    // goes in place where the caller left room. Text and CR LF go out in one piece: the
    // socket sends one buffer per turn of the event loop.
    if (!SlotOf(index).quiet)
        log_.Add(N(index) + '>', text);
    text += "\r\n";
    s->write(text);
    Account(index);
    if (turnDepth_ > 0 && s->mode() == QSslSocket::UnencryptedMode)
        replied_.emplace_back(index, s);
    else
        log_.FlushBeforeSend();
}

void ConnectionManager::WS_ConnectionRequest(qint16 Index, qintptr requestID, bool tls)
{
    const Turn turn(*this);
    bool accepted = false;
    try {
        const qint16 i = GetFreeIndex();
        if (i < 0)
            throw Failure(Err::Overflow, QStringLiteral("Overflow: every connection index is in use"));
        auto owned = std::make_unique<Connecter>();
        Connecter* session = owned.get();
        PutSession(i, std::move(owned));
        auto* s = new QSslSocket(this);
        if (!s->setSocketDescriptor(requestID)) {
            const Failure f(Err::Socket + int(s->error()), s->errorString());
            delete s;
            throw f;
        }
        accepted = true;
        Load(i, s);
        Slot& slot = SlotOf(i);
        slot = Slot{};
        slot.peer = PeerAddress(i);
        ++perAddress_[slot.peer];
        Touch(i);
        if (const QByteArray refusal = Refusal(i, IsSmtpPort(s->localPort())); !refusal.isEmpty()) {
            if (tls) {   // no handshake for one we turn away
                Release(i);
                return;
            }
            session->SetStep(Closing);   // released once the refusal has gone out
            SendReply(i, refusal);
            return;
        }
        log_.Add("ConnectionRequest I=" + N(Index) + " R=" + N(requestID));
        if (tls) {
            const auto config = tls_.Current();
            if (!config) {
                log_.Add(N(i) + "-TLS refused: no usable certificate (settings TlsCertificate, TlsKey)");
                Release(i);
                return;
            }
            s->setSslConfiguration(*config);
            s->startServerEncryption();   // the greeting waits in the buffer for the handshake
        }
        if (IsSmtpPort(s->localPort())) {
            SendReply(i, "220 " + hostName_ + " Merivolant ESMTP");
        } else {
            session->SetStep(Pop3Session);
            SendReply(i, "+OK " + hostName_ + " Merivolant POP3");
        }
    } catch (const Failure& f) {
        LogList::SysLog(f.text());
        log_.Add("Error! I=" + N(Index) + " R=" + N(requestID));
        log_.Add(f.text());
        if (!accepted)
            ::close(int(requestID));   // never accepted: do not keep the descriptor
    }
}

void ConnectionManager::WS_DataArrival(qint16 Index)
{
    const Turn turn(*this);
    QSslSocket* s = Element(Index);
    if (!s)
        return;
    if (s->bytesToWrite() > MaxBacklog || stalled_.count(Index))
        return;   // read once the backlog has gone out (see Load), or the delayed reply
    const QByteArray chunk = s->readAll();
    // The ports are read now: the administration window may have changed them.
    const int port = s->localPort();
    const CommandHandler& handler = IsSmtpPort(port) ? handlers_.smtp : IsPop3Port(port) ? handlers_.pop3 : handlers_.other;
    Touch(Index);
    Gather(*this, Index, chunk, handler);
    Account(Index);
}

void ConnectionManager::WS_SendProgress(qint16 Index)
{
    if (!SlotOf(Index).quiet)
        log_.Add(N(Index) + "-SendProgress");
}

void ConnectionManager::WS_SendComplete(qint16 Index)
{
    if (!SlotOf(Index).quiet)
        log_.Add(N(Index) + "-SendComplete");
    Connecter* c = Session(Index);
    if (!c && Element(Index))
        log_.Add(N(Index) + "-Ignored: send completion for a connection without a session");
    if (c && c->Step() == Closing)
        WS_Close(Index);
    log_.Trim(2000);
}

void ConnectionManager::WS_Close(qint16 Index)
{
    if (!Element(Index) && !Session(Index)) {
        log_.Add(N(Index) + "-Ignored: close of a connection that is gone");
        return;
    }
    Slot& slot = SlotOf(Index);
    if (!slot.quiet)
        log_.Add("Close " + N(Index));
    if (!slot.peer.isEmpty() && --perAddress_[slot.peer] <= 0)
        perAddress_.erase(slot.peer);
    Budget::Add(-slot.accounted);
    slot = Slot{};
    stalled_.erase(Index);
    onEncrypted_.erase(Index);
    Unload(Index);
    PutSession(Index, nullptr);
}

void ConnectionManager::WS_Error(qint16 Index, int number, const QString& description)
{
    log_.Add(N(Index) + "-ErrorEvent " + N(number) + description.toUtf8());
    Connecter* c = Session(Index);
    QSslSocket* s = Element(Index);
    if (c && IsRelayStep(c->Step())) {
        // The relay queue hears why and tries again later, or the next exchanger.
        c->Relay.Error = description.toUtf8();
        Release(Index);
        return;
    }
    if (s && s->state() == QAbstractSocket::UnconnectedState) {
        // A dead inbound socket may never report its close; release it once the event is over.
        QTimer::singleShot(0, this, [this, Index, p = QPointer<QSslSocket>(s)] {
            if (p && Element(Index) == p && p->state() == QAbstractSocket::UnconnectedState)
                WS_Close(Index);
        });
    }
}

void ConnectionManager::WS_Connect(qint16 Index)
{
    log_.Add("Connect " + N(Index));
}
