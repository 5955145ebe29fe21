#pragma once
// The session record of one live connection, whatever its role. Core keeps what every
// connection has: the receive buffer, the serial, the step. What a protocol keeps beyond
// that, and how it answers the connection manager's questions (how long it may stay
// silent, what it holds, what the log may show), is its Protocol part.
#include <QByteArray>
#include <QDateTime>
#include <memory>

class Server;
struct Settings;

// Every protocol's last step: the connection is released once its last reply has gone out.
inline constexpr int Closing = 6;

class Connecter {
public:
    // The protocol's own part of a session. Its destructor is what a protocol does when the
    // connection ends, however it ends.
    class Protocol {
    public:
        virtual ~Protocol() = default;
        // Seconds the connection may stay silent in `step`, and the most a line may take from
        // its first byte to its end; 0 while nothing is expected of the peer (a message
        // being stored).
        virtual int IdleSeconds(int step, const Settings& settings) const = 0;
        // Seconds `step` may last in all, however busy the peer keeps it (message text); 0: no limit.
        virtual int StepSeconds(int, const Settings&) const { return 0; }
        // The peer stayed silent past IdleSeconds: say so where the protocol can, and end.
        virtual void TimedOut(Server& server, qint16 index, qint64 silentSeconds) = 0;
        // Bytes of the memory budget held beyond the receive buffer.
        virtual qint64 Held() const { return 0; }
        // Whether text received in `step` goes to the handler line by line as it comes
        // (message text), rather than once the whole buffer ends with CR LF.
        virtual bool TakesPartialLines(int) const { return false; }
        // A receive buffer as the log may keep it: no secret of the peer's in it.
        virtual QByteArray Masked(const QByteArray& buffer, int) const { return buffer; }
        // The step is about to change.
        virtual void Stepping(int, int) {}
        // We are the client on this connection (TLS is started as one).
        virtual bool IsClient() const { return false; }
        // The socket failed: why, for whoever waits on the connection.
        virtual void Lost(const QByteArray&) {}
    };

    // Receive buffer: everything received and not yet handed to the protocol handler.
    QByteArray Command;
    // Tells this session from a later one on the same index.
    const quint64 Serial = NextSerial();
    // When the unfinished line in Command began, and when the step began (ms since the epoch).
    qint64 LineSince = 0;
    qint64 SteppedAt = QDateTime::currentMSecsSinceEpoch();

    explicit Connecter(std::unique_ptr<Protocol> part = {}, int step = 0) : part_(std::move(part)), step_(step) {}
    Connecter(const Connecter&) = delete;
    Connecter& operator=(const Connecter&) = delete;

    int Step() const { return step_; }
    void SetStep(int NewStep)
    {
        if (part_)
            part_->Stepping(step_, NewStep);
        if (NewStep != step_)
            SteppedAt = QDateTime::currentMSecsSinceEpoch();
        step_ = NewStep;
    }

    Protocol* Part() const { return part_.get(); }
    template <class P>
    P* As() const { return dynamic_cast<P*>(part_.get()); }

private:
    static quint64 NextSerial()
    {
        static quint64 n = 0;
        return ++n;
    }
    std::unique_ptr<Protocol> part_;
    int step_ = 0;
};
