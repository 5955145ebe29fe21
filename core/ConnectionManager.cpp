#include "core/ConnectionManager.h"
#include "core/Connecter.h"
#include "core/Failure.h"
#include "core/LogList.h"
#include "core/mdlCommon.h"

#include <QHostInfo>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>
#include <sys/resource.h>
#include <unistd.h>

namespace {
QByteArray N(qint64 n) { return QByteArray::number(n); }
constexpr qint16 MaxIndex = 32767;
}

// Reports each pending connection with its descriptor before anything accepts it.
class ConnectionManager::Listener : public QTcpServer {
public:
    Listener(ConnectionManager* m, qint16 index) : QTcpServer(m), manager(m), index(index) {}
protected:
    void incomingConnection(qintptr descriptor) override { manager->WS_ConnectionRequest(index, descriptor); }
private:
    ConnectionManager* manager;
    qint16 index;
};

ConnectionManager::ConnectionManager(LogList& log, QObject* parent)
    : QObject(parent), log_(log), hostName_(QHostInfo::localHostName().toUtf8())
{
    ws_.resize(2, nullptr);
    // Flushes wait on the disk, not the processor: several at once let the file system
    // commit them together.
    writers_.setMaxThreadCount(16);
    listeners_[0] = new Listener(this, 0);
    listeners_[1] = new Listener(this, 1);
}

ConnectionManager::~ConnectionManager()
{
    writers_.waitForDone();   // no message is left half written at exit
    for (QTcpSocket* s : ws_)
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
    return listeners_[0]->isListening() || listeners_[1]->isListening();
}

void ConnectionManager::Listen()
{
    const struct { Listener* l; const QString& text; const char* name; } ports[] = {
        {listeners_[0], mdlCommon::Pop3Port, "Pop3"},
        {listeners_[1], mdlCommon::SmtpPort, "SMTP"},
    };
    for (const auto& p : ports) {
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
}

QTcpSocket* ConnectionManager::Element(qint16 index) const
{
    return index >= 2 && size_t(index) < ws_.size() ? ws_[size_t(index)] : nullptr;
}

QTcpSocket* ConnectionManager::Load(qint16 index, QTcpSocket* s)
{
    if (size_t(index) >= ws_.size())
        ws_.resize(size_t(index) + 1, nullptr);
    if (!s)
        s = new QTcpSocket(this);
    if (!ws_[size_t(index)])
        ++sockets_;
    ws_[size_t(index)] = s;
    CheckDescriptors();
    connect(s, &QTcpSocket::readyRead, this, [this, index] { WS_DataArrival(index); });
    s->setReadBufferSize(ReadBufferSize);
    connect(s, &QTcpSocket::bytesWritten, this, [this, index, s] {
        if (s->bytesToWrite() > 0)
            WS_SendProgress(index);
        else
            WS_SendComplete(index);
        // Input held back while the backlog was large.
        if (Element(index) == s && s->bytesAvailable() > 0 && s->bytesToWrite() <= MaxBacklog)
            WS_DataArrival(index);
    });
    connect(s, &QTcpSocket::disconnected, this, [this, index] { WS_Close(index); });
    connect(s, &QTcpSocket::connected, this, [this, index] { WS_Connect(index); });
    connect(s, &QTcpSocket::errorOccurred, this, [this, index, s](QAbstractSocket::SocketError e) {
        if (e == QAbstractSocket::RemoteHostClosedError)
            return;   // the peer's close: the close event follows
        WS_Error(index, Err::Socket + int(e), s->errorString());
    });
    return s;
}

void ConnectionManager::Unload(qint16 index)
{
    QTcpSocket* s = Element(index);
    if (!s)
        return;
    ws_[size_t(index)] = nullptr;
    while (ws_.size() > 2 && !ws_.back())
        ws_.pop_back();
    s->disconnect(this);
    s->close();
    s->deleteLater();
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
        if (full)
            l->pauseAccepting();
        else
            l->resumeAccepting();
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
}

void ConnectionManager::Connect(qint16 index, const QString& host, quint16 port)
{
    QTcpSocket* s = Element(index);
    if (!s)
        s = Load(index);
    s->connectToHost(host, port);
}

void ConnectionManager::Release(qint16 index)
{
    if (QTcpSocket* s = Element(index)) {
        s->disconnect(this);
        s->close();
    }
    WS_Close(index);
}

QByteArray ConnectionManager::LocalHostName(qint16) { return hostName_; }

QByteArray ConnectionManager::PeerAddress(qint16 index)
{
    const QTcpSocket* s = Element(index);
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
        QMetaObject::invokeMethod(this, std::move(done), Qt::QueuedConnection);
    });
}

void ConnectionManager::Log(const QByteArray& line) { log_.Add(line); }

void ConnectionManager::LogReceived(qint16 index, const QByteArray& buffer) { log_.Add(N(index) + '<', buffer); }

void ConnectionManager::SendReply(qint16 index, const QByteArray& text)
{
    QTcpSocket* s = Element(index);
    if (!s) {
        log_.Add(N(index) + "-Ignored: reply for a connection that is gone");
        return;
    }
    s->write(text);
    s->write("\r\n", 2);
    log_.Add(N(index) + '>', text);
}

void ConnectionManager::WS_ConnectionRequest(qint16 Index, qintptr requestID)
{
    log_.Add("ConnectionRequest I=" + N(Index) + " R=" + N(requestID));
    bool accepted = false;
    try {
        const qint16 i = GetFreeIndex();
        if (i < 0)
            throw Failure(Err::Overflow, QStringLiteral("Overflow: every connection index is in use"));
        auto owned = std::make_unique<Connecter>();
        Connecter* session = owned.get();
        PutSession(i, std::move(owned));
        auto* s = new QTcpSocket(this);
        if (!s->setSocketDescriptor(requestID)) {
            const Failure f(Err::Socket + int(s->error()), s->errorString());
            delete s;
            throw f;
        }
        accepted = true;
        Load(i, s);
        if (s->localPort() == mdlCommon::PortNumber(mdlCommon::SmtpPort)) {
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
    QTcpSocket* s = Element(Index);
    if (!s)
        return;
    if (s->bytesToWrite() > MaxBacklog)
        return;   // read once the backlog has gone out (see Load)
    const QByteArray chunk = s->readAll();
    // The ports are read now: the administration window may have changed them.
    const int port = s->localPort();
    const CommandHandler& handler = port == mdlCommon::PortNumber(mdlCommon::SmtpPort)   ? handlers_.smtp
                                    : port == mdlCommon::PortNumber(mdlCommon::Pop3Port) ? handlers_.pop3
                                                                                         : handlers_.other;
    Gather(*this, Index, chunk, handler);
}

void ConnectionManager::WS_SendProgress(qint16 Index)
{
    log_.Add(N(Index) + "-SendProgress");
}

void ConnectionManager::WS_SendComplete(qint16 Index)
{
    log_.Add(N(Index) + "-SendComplete");
    Connecter* c = Session(Index);
    if (!c && Element(Index))
        log_.Add(N(Index) + "-Ignored: send completion for a connection without a session");
    if (c && c->Step() == Closing) {
        if (QTcpSocket* s = Element(Index)) {
            s->disconnect(this);
            s->close();
        }
        WS_Close(Index);
    }
    log_.Trim(2000);
}

void ConnectionManager::WS_Close(qint16 Index)
{
    if (!Element(Index) && !Session(Index)) {
        log_.Add(N(Index) + "-Ignored: close of a connection that is gone");
        return;
    }
    log_.Add("Close " + N(Index));
    Unload(Index);
    PutSession(Index, nullptr);
}

void ConnectionManager::WS_Error(qint16 Index, int number, const QString& description)
{
    log_.Add(N(Index) + "-ErrorEvent " + N(number) + description.toUtf8());
    Connecter* c = Session(Index);
    QTcpSocket* s = Element(Index);
    if (c && IsRelayStep(c->Step())) {
        // A relay that failed is logged and let go; there is no retry.
        Release(Index);
        return;
    }
    if (s && s->state() == QAbstractSocket::UnconnectedState) {
        // A dead inbound socket may never report its close; release it once the event is over.
        QTimer::singleShot(0, this, [this, Index, p = QPointer<QTcpSocket>(s)] {
            if (p && Element(Index) == p && p->state() == QAbstractSocket::UnconnectedState)
                WS_Close(Index);
        });
    }
}

void ConnectionManager::WS_Connect(qint16 Index)
{
    log_.Add("Connect " + N(Index));
}
