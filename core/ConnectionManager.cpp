// The connection manager's sockets and sessions: loading and unloading elements, the
// socket events, gathering received text for the service of the port, and sending replies.
#include "core/ConnectionManager.h"
#include "core/Budget.h"
#include "core/Connecter.h"
#include "core/Failure.h"
#include "core/LogList.h"
#include "core/mdlCommon.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QHostInfo>
#include <QPointer>
#include <QSslCipher>
#include <QSslSocket>
#include <QTimer>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace {
QByteArray N(qint64 n) { return QByteArray::number(n); }
constexpr qint16 MaxIndex = 32767;
}

ConnectionManager::ConnectionManager(LogList& log, QObject* parent)
    : QObject(parent), log_(log)
{
    ws_.resize(2, nullptr);
    // Flushes wait on the disk, not the processor: several at once let the file system
    // commit them together.
    writers_.setMaxThreadCount(WriterThreads);
    tls_.Warning = [this](const QString& line) { log_.Add(line.toUtf8()); };
    sweep_ = new QTimer(this);
    connect(sweep_, &QTimer::timeout, this, &ConnectionManager::Sweep);
    if (QCoreApplication* app = QCoreApplication::instance())
        connect(app, &QCoreApplication::aboutToQuit, this, &ConnectionManager::Stop);
}

ConnectionManager::Slot& ConnectionManager::SlotOf(qint16 index)
{
    if (size_t(index) >= slots_.size())
        slots_.resize(size_t(index) + 1);
    return slots_[size_t(index)];
}

ConnectionManager::~ConnectionManager()
{
    lookups_.pool.waitForDone();   // their results go on to the writers
    filters_.pool.waitForDone();
    writers_.waitForDone();   // no message is left half written at exit
    for (QSslSocket* s : ws_)
        if (s) { s->disconnect(this); s->abort(); }
}

void ConnectionManager::PutSession(qint16 index, std::unique_ptr<Connecter> session)
{
    if (size_t(index) >= sessions_.size())
        sessions_.resize(size_t(index) + 1);
    auto& slot = sessions_[size_t(index)];
    slot = std::move(session);
}

QSslSocket* ConnectionManager::Element(qint16 index) const
{
    return index >= 2 && size_t(index) < ws_.size() ? ws_[size_t(index)] : nullptr;
}

QSslSocket* ConnectionManager::Load(qint16 index, QSslSocket* s)
{
    if (size_t(index) >= ws_.size())
        ws_.resize(size_t(index) + 1, nullptr);
    // A connection of our own connects, and may start TLS as the client; an accepted one
    // does neither (TLS as the server is ours, over its plain bytes): it goes without the
    // connections of those signals, a few hundred bytes each of a thousand idle clients.
    const bool ours = !s;
    if (ours)
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
        if (encryptedSignal != s->isEncrypted() || batching_)
            return;   // a write of SendBatched's: it reports the completion itself
        Written(index, s);
    };
    connect(s, &QSslSocket::bytesWritten, this, [written] { written(false); });
    connect(s, &QSslSocket::disconnected, this, [this, index] { WS_Close(index); });
    if (ours) {
        connect(s, &QSslSocket::encryptedBytesWritten, this, [written] { written(true); });
        connect(s, &QSslSocket::connected, this, [this, index] { WS_Connect(index); });
        connect(s, &QSslSocket::encrypted, this, [this, index, s] {
            const QSslCipher cipher = s->sessionCipher();
            Encrypted(index, cipher.protocolString().toLatin1(), cipher.name().toLatin1());
        });
    }
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
    Pump(index, s);
    Account(index);
    if (s->bytesToWrite() > 0 || s->encryptedBytesToWrite() > 0 || outgoing_.count(index))
        WS_SendProgress(index);
    else
        WS_SendComplete(index);
    // Input held back while the backlog was large.
    if (Element(index) == s)
        Resume(index);
}

void ConnectionManager::SendBatched()
{
    // The replies of a handled event go out as soon as it is over, not one turn of the event
    // loop later when the socket reports room: a client waiting for its answer gets it a
    // poll sooner. The log lines before them are written out first.
    ++turnDepth_;   // what the completions reply is sent the same way
    while (!replied_.empty()) {
        log_.Flush();
        const auto batch = std::exchange(replied_, {});
        for (const auto& [index, s] : batch) {
            const bool straight = straight_.erase(index) > 0;   // out, but not reported yet
            if (Element(index) == s && SendHeld(index, s)) {
                Written(index, s);
                continue;
            }
            if (Element(index) != s || (s->bytesToWrite() == 0 && !straight) || s->mode() != QSslSocket::UnencryptedMode)
                continue;   // gone, already out, or TLS begun behind it: the event loop's
            batching_ = true;
            s->flush();
            batching_ = false;
            if (Element(index) == s && s->bytesToWrite() == 0)
                Written(index, s);
        }
    }
    --turnDepth_;
}

bool ConnectionManager::Holds(qint16 index, const QSslSocket* s, qsizetype more)
{
    if (const auto held = held_.find(index); held != held_.end())
        return held->second.size() + more <= MaxHeld;   // else Put sends it first
    const Connecter* c = Session(index);
    return turnDepth_ > 0 && !outgoing_.count(index) && s->bytesToWrite() == 0
           && s->mode() == QSslSocket::UnencryptedMode && more <= MaxHeld && !(c && c->Part() && c->Part()->IsClient());
}

bool ConnectionManager::Hold(qint16 index, QSslSocket* s, const QByteArray& bytes)
{
    if (!Holds(index, s, bytes.size()))
        return false;
    auto [held, first] = held_.try_emplace(index);
    held->second += bytes;
    if (first)
        replied_.emplace_back(index, s);
    return true;
}

bool ConnectionManager::SendHeld(qint16 index, QSslSocket* s)
{
    const auto held = held_.find(index);
    if (held == held_.end())
        return false;
    const QByteArray text = std::move(held->second);
    held_.erase(held);
    ssize_t sent;
    do {
        sent = ::send(int(s->socketDescriptor()), text.constData(), size_t(text.size()), MSG_DONTWAIT | MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent == text.size())
        return true;
    s->write(text.mid(std::max<qsizetype>(sent, 0)));   // the socket reports a failure its own way
    return false;
}

void ConnectionManager::Unload(qint16 index)
{
    QSslSocket* s = Element(index);
    if (!s)
        return;
    SendHeld(index, s);   // a last reply of this turn: the close waits for what the socket has
    ws_[size_t(index)] = nullptr;
    while (ws_.size() > 2 && !ws_.back())
        ws_.pop_back();
    s->disconnect(this);
    std::shared_ptr<TlsSession> tls;
    if (auto served = served_.extract(index))
        tls = std::move(served.mapped());
    // Closed once the event that brought us here is over: a TLS socket must not lose its
    // session while it is still inside its own signal.
    QMetaObject::invokeMethod(s, [s, tls] {
        const bool ours = tls && tls->Done() && tls->Error().isEmpty();
        if (!(s->isEncrypted() || ours) || s->state() != QAbstractSocket::ConnectedState) {
            s->close();
            s->deleteLater();
            return;
        }
        if (ours) {
            tls->Close();
            s->write(tls->Output());
        }
        // TLS ends with its own closing alert, then the connection; a peer that never lets
        // go is cut off after a while. Most sockets have nothing left to send and are gone
        // at once, without a timer to set and kill.
        connect(s, &QAbstractSocket::disconnected, s, &QObject::deleteLater);
        s->disconnectFromHost();
        if (s->state() != QAbstractSocket::UnconnectedState)
            QTimer::singleShot(TlsGoodbyeMs, s, [s] {
                s->abort();
                s->deleteLater();
            });
    }, Qt::QueuedConnection);
    --sockets_;
    CheckDescriptors();
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
    // An accepted connection keeps its slot (its client's address); one of our own is new.
    PutSession(index, std::move(session));
    if (!Element(index)) {
        Load(index);
        SlotOf(index) = Slot{};
    }
    Touch(index);
}

void ConnectionManager::Connect(qint16 index, const QString& host, quint16 port)
{
    QSslSocket* s = Element(index);
    if (!s)
        s = Load(index);
    if (relaySource_.isNull())
        return s->connectToHost(host, port);
    if (!s->bind(relaySource_))
        log_.Add(N(index) + "-Cannot leave from " + relaySource_.toString().toUtf8() + ": " + s->errorString().toUtf8());
    s->connectToHost(host, port, QIODevice::ReadWrite, relaySource_.protocol());
}

void ConnectionManager::Release(qint16 index)
{
    WS_Close(index);
}

QByteArray ConnectionManager::LocalHostName(qint16)
{
    if (hostName_.isEmpty())
        hostName_ = (settings_.HostName.isEmpty() ? mdlCommon::MachineName() : settings_.HostName).toUtf8();
    return hostName_;
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

int ConnectionManager::LocalPort(qint16 index)
{
    const QSslSocket* s = Element(index);
    return s ? int(s->localPort()) : 0;
}

void ConnectionManager::Offload(std::function<void()> work, std::function<void()> done)
{
    RunOff(writers_, std::move(work), std::move(done));
}

void ConnectionManager::Lookup(Waits what, const QByteArray& client, std::function<void()> work, std::function<void()> done)
{
    Remote& r = what == Waits::Dns ? lookups_ : filters_;
    r.share.Add(client, [this, &r, client, work = std::move(work), done = std::move(done)]() mutable {
        RunOff(r.pool, std::move(work), [&r, client, done = std::move(done)] {
            r.share.Finished(client);
            done();
        });
    });
}

void ConnectionManager::RunOff(QThreadPool& pool, std::function<void()> work, std::function<void()> done)
{
    pool.start([this, work = std::move(work), done = std::move(done)]() mutable {
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

void ConnectionManager::SendReplyTaken(qint16 index, QByteArray text) { Send(index, std::move(text), nullptr); }

void ConnectionManager::SendSecret(qint16 index, const QByteArray& text, const QByteArray& shown) { Send(index, text, &shown); }

void ConnectionManager::Send(qint16 index, QByteArray text, const QByteArray* shown)
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
        log_.Add(N(index) + '>', shown ? *shown : text);
    text += "\r\n";
    if (const auto q = outgoing_.find(index); q != outgoing_.end()) {
        q->second.emplace_back(std::move(text));   // after the file that is going out
        Account(index);
        return;
    }
    if (!served_.count(index) && Hold(index, s, text))
        return;   // text under TLS is held once encrypted (see Put)
    Put(index, s, text);
    Wrote(index, s);
    if (text.size() >= StreamChunk)
        Stream(index, s);
}

void ConnectionManager::Stream(qint16 index, QSslSocket* s)
{
    // A long stretch of a reply still being made goes to the system now, not when the whole
    // is made: the client reads it meanwhile. The turn's end reports it (see SendBatched).
    if (turnDepth_ == 0 || s->mode() != QSslSocket::UnencryptedMode)
        return;
    log_.Flush();
    batching_ = true;
    s->flush();
    batching_ = false;
    if (Element(index) == s)
        straight_.insert(index);
}

void ConnectionManager::Wrote(qint16 index, QSslSocket* s)
{
    Account(index);
    if (turnDepth_ > 0 && s->mode() == QSslSocket::UnencryptedMode)
        replied_.emplace_back(index, s);
    else
        log_.FlushBeforeSend();
}

void ConnectionManager::AckUnanswered(qint16 index, QSslSocket* s)
{
    if (held_.count(index) || outgoing_.count(index) || straight_.count(index) || s->bytesToWrite() > 0)
        return;   // a reply of this turn carries the ACK
    const int on = 1;
    ::setsockopt(int(s->socketDescriptor()), IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
}

void ConnectionManager::WS_DataArrival(qint16 Index)
{
    const Turn turn(*this);
    QSslSocket* s = Element(Index);
    if (!s)
        return;
    if (Backlogged(Index, s) || stalled_.count(Index))
        return;   // read once the backlog has gone out (see Written), or the delayed reply
    // Read straight into one buffer (a smaller read goes through a 16 KiB buffer of the
    // socket's, kept for good), then cut to its size: readAll leaves room for 16 KiB more,
    // kept as long as the text is (the log keeps it shared).
    QByteArray chunk = s->readAll();
    chunk.squeeze();
    if (!Received(Index, s, chunk))
        return;
    // The ports are read now: the administration window may have changed them.
    Touch(Index);
    Gather(*this, Index, chunk, ServiceOf(s->localPort()).command);
    Account(Index);
    // A client that holds the rest of what it says until what it sent is acknowledged (Nagle's
    // algorithm, as most leave it) would otherwise wait for the delayed ACK, 40 ms and more:
    // an APPEND's literal before the end of its line, message text in pieces, the last
    // handshake message before the first command under TLS.
    if (Element(Index) == s)
        AckUnanswered(Index, s);
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
    log_.Trim(KeptLogLines);
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
    outgoing_.erase(Index);
    Unload(Index);
    PutSession(Index, nullptr);
}

void ConnectionManager::WS_Error(qint16 Index, int number, const QString& description)
{
    log_.Add(N(Index) + "-ErrorEvent " + N(number) + description.toUtf8());
    Connecter* c = Session(Index);
    QSslSocket* s = Element(Index);
    if (c && c->Part() && c->Part()->IsClient()) {
        // Whoever waits on a connection of our own hears why.
        c->Part()->Lost(description.toUtf8());
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
    // A relayed message's text and its end-of-data line are two writes: without this the
    // line waits for the exchanger's delayed ACK of the text, up to 40 ms a message.
    if (QSslSocket* s = Element(Index))
        s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
}
