#pragma once
#include "core/FairShare.h"
#include "core/PerAddressLog.h"
#include "core/Server.h"
#include "core/TlsContext.h"
#include "core/TlsSession.h"

#include <QHostAddress>
#include <QObject>
#include <QTcpServer>
#include <QThreadPool>
#include <atomic>
#include <deque>
#include <map>
#include <set>
#include <memory>
#include <vector>

class Connecter;
class LogList;
class QSslSocket;
class QTimer;

// The socket array and the session collection: listens on the POP3 and SMTP ports, admits
// new connections and hands them to the service of their port (see Handlers), gathers
// received text and hands it to that service's handler, sends replies, keeps the time-outs
// and the memory budget, and releases connections. What is said on a connection is the
// services' business. Its parts: ConnectionManager.cpp (sockets, events, replies),
// Listeners.cpp (ports and admission), ConnectionLimits.cpp (time-outs, budget),
// ConnectionTls.cpp (TLS).
class ConnectionManager : public QObject, public Server {
    Q_OBJECT
public:
    explicit ConnectionManager(LogList& log, QObject* parent = nullptr);
    ~ConnectionManager() override;

    // Listens on the ports of the settings, at the addresses of the setting Listen. Throws Failure.
    void Listen();

    // The executable gives the protocol handlers; until then received text is only gathered.
    void SetHandlers(Handlers handlers) { handlers_ = std::move(handlers); }
    // The settings, before Listen.
    void Configure(Settings settings)
    {
        settings_ = std::move(settings);
        tls_.Use(settings_.TlsCertificate, settings_.TlsKey);
    }

    // A peer with more than this of our replies still unsent, or with a file still going out,
    // is not read from until they have gone: one that never reads cannot make its replies
    // pile up without end.
    static constexpr qint64 MaxBacklog = qint64(4) << 20;
    // Most a socket holds of received data that nobody has read yet. Qt keeps room of this
    // size per connection: with a megabyte, 2,000 uploads held over a gigabyte outside the budget.
    static constexpr qint64 ReadBufferSize = qint64(64) << 10;
    // Descriptors kept free for message files, tables and the lookup pipe. Once connections
    // use all the others, new ones wait in the listen queue: an accept that fails for want
    // of a descriptor is retried by the event loop at once, over and over.
    static constexpr int ReservedDescriptors = 256;
    static constexpr int DefaultPending = 30;   // QTcpServer's own
    static constexpr int ListenBacklog = 4096;  // bursts of new connections wait in the kernel
    // Seconds a closing connection may take to accept its last reply, and a TLS connection
    // to exchange its closing alerts.
    static constexpr int ClosingSeconds = 30;
    static constexpr int TlsGoodbyeMs = 10000;
    static constexpr int WriterThreads = 16;
    static constexpr int LookupThreads = 32;
    static constexpr int FilterThreads = 16;
    static constexpr int SweepMs = 1000;        // how often the time-outs are looked at
    static constexpr int KeptLogLines = 2000;   // the console's log is cut back to this many lines

    Connecter* Session(qint16 index) override;
    void SendReply(qint16 index, const QByteArray& text) override;
    void SendReplyTaken(qint16 index, QByteArray text) override;
    void SendSecret(qint16 index, const QByteArray& text, const QByteArray& shown) override;
    void SendFile(qint16 index, FileReply reply) override;
    void Log(const QByteArray& line) override;
    const Settings& Config() const override { return settings_; }
    Access::LoginRecords& Logins() override { return logins_; }
    void LogReceived(qint16 index, const QByteArray& buffer) override;
    qint16 GetFreeIndex() override;
    void AddSession(qint16 index, std::unique_ptr<Connecter> session) override;
    void Connect(qint16 index, const QString& host, quint16 port) override;
    void Release(qint16 index) override;
    QByteArray LocalHostName(qint16 index) override;
    QByteArray PeerAddress(qint16 index) override;
    int LocalPort(qint16 index) override;
    bool TlsAvailable() override;
    bool IsEncrypted(qint16 index) override;
    void StartTls(qint16 index, std::function<void()> encrypted = {}) override;
    void StartClientTls(qint16 index, const ClientTls& policy, std::function<void()> encrypted = {}) override;
    void After(qint16 index, int ms, std::function<void()> then) override;
    bool OverBudget() override;
    bool Waiting(qint16 index) override;
    void Offload(std::function<void()> work, std::function<void()> done) override;
    void Lookup(Waits what, const QByteArray& client, std::function<void()> work, std::function<void()> done) override;
    bool Stopping() const override { return stopping_; }
    // The application is quitting (see ConnectionLimits.cpp).
    void Stop();


private:
    class Listener;
    friend class Listener;

    void WS_ConnectionRequest(qint16 Index, qintptr requestID, bool tls);
    QSslSocket* BeforeHandshake(qint16 index, std::function<void()> encrypted);
    // TLS as the server, over the socket's plain bytes: one OpenSSL context for all of them.
    std::map<qint16, std::unique_ptr<TlsSession>> served_;
    void ServeTls(qint16 index, std::shared_ptr<SSL_CTX> context);
    // The handshake is done: logged, and what waited for it runs.
    void Encrypted(qint16 index, const QByteArray& protocol, const QByteArray& cipher);
    // Text for the peer, through TLS where the connection has it.
    void Put(qint16 index, QSslSocket* s, const QByteArray& text);
    void PutRecords(qint16 index, QSslSocket* s, const QByteArray& records);   // what TLS made of it
    // What the peer sent, decrypted where the connection has TLS; false when its TLS failed.
    bool Received(qint16 index, QSslSocket* s, QByteArray& bytes);
    QByteArray Refuse(qint16 index, const Service& service);
    void Sweep();
    QByteArray Overdue(qint16 index, const Connecter& c, qint64 now);
    void Touch(qint16 index);
    void Account(qint16 index);
    const Service& ServiceOf(int localPort) const;
    void WS_DataArrival(qint16 Index);
    // Nothing of ours answers what came this turn: its ACK goes now (see WS_DataArrival).
    void AckUnanswered(qint16 index, QSslSocket* s);
    void WS_Close(qint16 Index);
    void WS_Error(qint16 Index, int number, const QString& description);
    void WS_Connect(qint16 Index);
    void WS_SendProgress(qint16 Index);
    void WS_SendComplete(qint16 Index);

    // Replies given while the manager handles an event of its own go out when it is over,
    // in one write each, without a further turn of the event loop (see SendBatched).
    struct Turn {
        explicit Turn(ConnectionManager& m) : m(m) { ++m.turnDepth_; }
        ~Turn() { if (--m.turnDepth_ == 0) m.SendBatched(); }
        ConnectionManager& m;
    };
    void SendBatched();
    void Written(qint16 index, QSslSocket* s);
    void Wrote(qint16 index, QSslSocket* s);   // bookkeeping after a write of ours
    void Send(qint16 index, QByteArray text, const QByteArray* shown);   // logged as `shown` when given
    void Stream(qint16 index, QSslSocket* s);
    // Whether the peer has so much of our replies still to take (a file being sent counts,
    // however much of it is left) that nothing more is read from it until they have gone.
    bool Backlogged(qint16 index, const QSslSocket* s) const;
    // Input held back (unread, or lines left in the receive buffer) goes to the handler now.
    void Resume(qint16 index);

    // What waits to go out behind a file being sent, in order: the rest of the file and its
    // tail, then replies given meanwhile. Written to the socket as it takes them (Pump), so
    // that it never holds more than StreamLowWater of them unsent.
    struct Piece {
        QByteArray bytes;
        FileReply file;   // when fd >= 0: its stretch not yet written, then its tail
        explicit Piece(QByteArray b) : bytes(std::move(b)) {}
        explicit Piece(FileReply f) : file(std::move(f)) {}
    };
    std::map<qint16, std::deque<Piece>> outgoing_;
    void Pump(qint16 index, QSslSocket* s);
    // The front file of a connection without TLS whose socket holds nothing of ours, sent
    // from the file system to the connection as far as the system takes it; true once it is
    // all out, its head and tail included.
    bool Straight(QSslSocket* s, FileReply& f);
    std::set<qint16> straight_;   // sent whole in this turn past the socket: SendBatched reports it
    static constexpr qint64 StreamChunk = qint64(64) << 10;
    static constexpr qint64 StreamLowWater = qint64(256) << 10;

    QSslSocket* Element(qint16 index) const;
    QSslSocket* Load(qint16 index, QSslSocket* socket = nullptr);
    void Unload(qint16 index);
    void CheckDescriptors();
    void PutSession(qint16 index, std::unique_ptr<Connecter> session);   // nullptr removes

    LogList& log_;
    Settings settings_;
    QHostAddress relaySource_;   // where relay connections leave from; null: the system's choice
    Access::LoginRecords logins_;
    Handlers handlers_;
    std::vector<Listener*> listeners_;   // POP3, SMTP, the same with TLS from the first byte; each address
    TlsContext tls_;
    // Per connection: when it last did anything, what it holds of the memory budget, its
    // client's address (for the per-address limit), and whether it was refused or timed out.
    struct Slot {
        qint64 active = 0;
        qint64 accounted = 0;
        QByteArray peer;
        bool quiet = false;      // refused at once: its lines stay out of the log
        bool timedOut = false;
        qint64 handshakeSince = 0;   // a TLS handshake under way began then; 0: none
    };
    std::vector<Slot> slots_;
    Slot& SlotOf(qint16 index);
    std::map<QByteArray, int> perAddress_;
    PerAddressLog refusedLog_;
    QTimer* sweep_ = nullptr;
    bool budgetSpent_ = false;
    std::set<qint16> stalled_;                              // waiting, input held back (see After)
    std::map<qint16, std::function<void()>> onEncrypted_;  // what runs once a handshake is done
    std::vector<QSslSocket*> ws_;
    // The session collection: the session of connection i (key "K" + i) is sessions_[i].
    std::vector<std::unique_ptr<Connecter>> sessions_;
    QByteArray hostName_;
    int sockets_ = 0;       // loaded elements from index 2 up
    bool waiting_ = false;  // listeners paused for want of descriptors
    QThreadPool writers_;   // message files are written and flushed here
    // The DNS queries of the checks on arriving mail, and the conversations with mail filters.
    struct Remote {
        explicit Remote(int threads) : share(threads) { pool.setMaxThreadCount(threads); }
        QThreadPool pool;
        FairShare share;
    };
    Remote lookups_{LookupThreads}, filters_{FilterThreads};
    std::atomic<bool> stopping_ = false;
    void RunOff(QThreadPool& pool, std::function<void()> work, std::function<void()> done);
    int turnDepth_ = 0;
    std::vector<std::pair<qint16, QSslSocket*>> replied_;   // written to in this turn
    bool batching_ = false;                                 // their bytesWritten is ours to report
    // Short replies of this turn to a connection with nothing else queued (under TLS, their
    // records): SendBatched hands them to the system itself. Once Qt's socket has buffered a write it keeps a
    // 32 KiB buffer for good, a page or two of every idle connection's memory.
    std::map<qint16, QByteArray> held_;
    static constexpr qsizetype MaxHeld = qsizetype(16) << 10;
    // Whether `more` bytes of reply to the connection wait in held_ too.
    bool Holds(qint16 index, const QSslSocket* s, qsizetype more);
    // Holds `bytes` when Holds says so.
    bool Hold(qint16 index, QSslSocket* s, const QByteArray& bytes);
    // Sends what is held; false when the system did not take all (the rest is the socket's).
    bool SendHeld(qint16 index, QSslSocket* s);
};
