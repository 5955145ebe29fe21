#pragma once
#include "core/Access.h"
#include "core/Settings.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QSslCertificate>
#include <QSslError>
#include <QString>
#include <functional>
#include <memory>

class Connecter;

// A reply whose middle is a stretch of an open file: a message sent as the connection takes
// it, never held in memory whole. It owns the descriptor (-1: no file, the reply is head and
// tail alone).
struct FileReply {
    QByteArray head;
    int fd = -1;
    qint64 offset = 0, length = 0;
    QByteArray tail;

    FileReply() = default;
    FileReply(QByteArray text) : head(std::move(text)) {}   // a plain reply
    FileReply(FileReply&& other) noexcept;
    FileReply& operator=(FileReply&& other) noexcept;
    ~FileReply();
    // The whole reply read into memory; for replies that are small, and for tests.
    QByteArray Read() const;
    // Whether the file's stretch ends with CR LF.
    bool EndsWithCrLf() const;
};

// How a connection of our own starts TLS as the client.
struct ClientTls {
    bool verifyPeer = false;   // the certificate must be valid for `peerName`
    QString peerName;
    QList<QSslCertificate> ca;   // trusted beside the system's store
    // Set: the handshake goes on whatever the check of `verifyPeer` found, and this judges the
    // chain shown (the peer's certificate first) with those findings once it is done. A
    // non-empty answer ends the connection, told as why (Connecter::Protocol::Lost).
    std::function<QByteArray(const QList<QSslCertificate>& chain, const QList<QSslError>& errors)> judge;
    // False: a full handshake, never a resumed session (which shows no certificates to judge).
    bool resume = true;
};

// What the protocol handlers need from the connection manager. The real one runs
// sockets on the event loop; tests drive the handlers through a fake.
class Server {
public:
    virtual ~Server() = default;

    // The session stored under "K" + index, or nullptr.
    virtual Connecter* Session(qint16 index) = 0;
    // Sends text + CR LF on a connection and logs index ">" text.
    virtual void SendReply(qint16 index, const QByteArray& text) = 0;
    // The same for a reply its caller has no more use for: a long one with room for the CR LF
    // after it goes out without another copy.
    virtual void SendReplyTaken(qint16 index, QByteArray text) { SendReply(index, text); }
    // Sends a line that holds a secret (a login) as SendReply does, but logs `shown` instead.
    virtual void SendSecret(qint16 index, const QByteArray& text, const QByteArray& shown) = 0;
    // Sends head, the file's stretch and tail, then CR LF, as one reply: logged as index ">"
    // and its text, but read from the file as the connection takes it. Replies given meanwhile
    // go out after it. This default reads the file at once.
    virtual void SendFile(qint16 index, FileReply reply) { SendReplyTaken(index, reply.Read()); }
    // One line at the top of the log.
    virtual void Log(const QByteArray& line) = 0;
    // The settings this run was started with.
    virtual const Settings& Config() const = 0;
    // The failed logins of the addresses seen lately.
    virtual Access::LoginRecords& Logins() = 0;
    // A receive buffer as index "<" buffer; the real log keeps a large one without copying it.
    virtual void LogReceived(qint16 index, const QByteArray& buffer) { Log(QByteArray::number(index) + '<' + buffer); }
    // Lowest index with no socket, for a new connection; -1 when none is left.
    virtual qint16 GetFreeIndex() = 0;
    // Registers a session under "K" + index.
    virtual void AddSession(qint16 index, std::unique_ptr<Connecter> session) = 0;
    // Loads a socket for index (any free local port) and connects it to host:port.
    virtual void Connect(qint16 index, const QString& host, quint16 port) = 0;
    // Closes the connection's socket and releases its index and session.
    virtual void Release(qint16 index) = 0;
    // The local host name that greetings and introductions use.
    virtual QByteArray LocalHostName(qint16 index) = 0;
    // The client's address as trace headers write it (127.0.0.1, IPv6:::1); "" when unknown.
    virtual QByteArray PeerAddress(qint16) { return {}; }
    // The local port the connection came in on; 0 when unknown.
    virtual int LocalPort(qint16) { return 0; }
    // TLS: whether a certificate is loaded, whether a connection is encrypted, and starting
    // it on a connection right after the line just sent, as the server or, on a connection of
    // our own, as the client; `encrypted` runs once the handshake is done.
    virtual bool TlsAvailable() { return false; }
    virtual bool IsEncrypted(qint16) { return false; }
    virtual void StartTls(qint16, std::function<void()> encrypted = {})
    {
        if (encrypted)
            encrypted();
    }
    virtual void StartClientTls(qint16 index, const ClientTls&, std::function<void()> encrypted = {}) { StartTls(index, std::move(encrypted)); }
    // True while connections hold more than the setting MemoryBudget allows.
    virtual bool OverBudget() { return false; }
    // Runs `then` after `ms`, reading nothing more from the connection meanwhile, and only
    // while it keeps the session it has now: a client that left is not served.
    virtual void After(qint16 index, int, std::function<void()> then)
    {
        if (Session(index))
            then();
    }
    // Milliseconds since the epoch, the clock that After keeps.
    virtual qint64 Now() { return QDateTime::currentMSecsSinceEpoch(); }
    // True while a connection's next reply must wait: a delayed answer, a message still going
    // out, more than the backlog of replies its client has not read. A handler then leaves the lines after the one it answered in the receive buffer
    // (Command); they are handed to it again once the wait is over.
    virtual bool Waiting(qint16) { return false; }
    // Runs `work` (file writes and flushes) off the event thread, so that waiting for the disk
    // does not stall the other connections, then `done` on the event thread, whose replies
    // go out at once. `work` must not touch the server. This default runs both at once.
    virtual void Offload(std::function<void()> work, std::function<void()> done)
    {
        work();
        done();
    }
    // The same for work that waits on other machines, in threads of its own so that a slow name
    // server never holds up the disk writes of other messages: the checks' DNS questions and the
    // mail filters' conversations each have their own pool, of which one client address takes
    // at most a quarter (see FairShare).
    enum class Waits { Dns, Filters };
    virtual void Lookup(Waits, const QByteArray&, std::function<void()> work, std::function<void()> done)
    {
        Offload(std::move(work), std::move(done));
    }
    // True once the server is stopping: lookups still running give up at their next query.
    // Safe from any thread.
    virtual bool Stopping() const { return false; }
};

// A protocol handler: a connection's received text, whole lines ending with CR LF.
using CommandHandler = std::function<void(Server& server, qint16 index, const QByteArray& text)>;

// Why a new connection is turned away before it is served.
enum class Refusal { TooManyFromAddress, Busy };

// What a protocol gives the connection manager: the handler of its text, what a new
// connection gets (its session, registered with AddSession, and the greeting), and the text
// that turns one away.
struct Service {
    CommandHandler command;
    std::function<void(Server& server, qint16 index)> accept;
    std::function<QByteArray(Refusal why)> refuse;
};

// A service whose new connections get a session with the protocol part P at `step` and the
// greeting `greeting` + the local host name + `greetingEnd`; `tooMany` and `busy` turn one away.
template <class P>
Service MakeService(CommandHandler command, int step, QByteArray greeting, QByteArray greetingEnd, QByteArray tooMany, QByteArray busy)
{
    Service service;
    service.command = std::move(command);
    service.accept = [step, greeting, greetingEnd](Server& server, qint16 index) {
        server.AddSession(index, std::make_unique<Connecter>(std::make_unique<P>(), step));
        server.SendReply(index, greeting + server.LocalHostName(index) + greetingEnd);
    };
    service.refuse = [tooMany, busy](Refusal why) { return why == Refusal::TooManyFromAddress ? tooMany : busy; };
    return service;
}

// Which service takes a connection: the one of the SMTP ports, of the POP3 ports, of any
// other port (the relay client's own connections), or of the IMAP ports.
struct Handlers {
    Service smtp, pop3, relay, imap;
};

// Largest receive buffer a connection may hold without a CR LF at its end: message text may
// come in long lines, commands and replies not.
inline constexpr qsizetype MaxBuffer = (qsizetype(256) << 20) + (qsizetype(1) << 20);
inline constexpr qsizetype MaxLineBuffer = qsizetype(64) << 10;
// Message text is handed on in whole lines once this much has gathered (or the buffer ends a line).
inline constexpr qsizetype PartialHandover = qsizetype(1) << 20;

// Adds a received chunk to the session's Command. Once the whole buffer ends with a line end
// (CR LF, or a bare LF as some hand-typed clients send it) it is logged (as the session's
// protocol masks it) and handed to `handler`; while the protocol takes partial lines (message
// text, where only CR LF ends a line), every complete line goes at once. A buffer past MaxBuffer (commands:
// MaxLineBuffer) without a CR LF closes the connection. Returns whether the handler ran.
bool Gather(Server& server, qint16 index, const QByteArray& chunk, const CommandHandler& handler);
