#pragma once
// The relay part of a session: one copy of a queued message on its way to an exchanger, for
// one or more recipients of one domain, and how that connection's end is told to the queue.
#include "core/Connecter.h"
#include "core/Server.h"
#include "relay/Dane.h"
#include "relay/TlsOutcome.h"

#include <QByteArray>
#include <QList>
#include <QSslCertificate>
#include <QString>
#include <functional>
#include <memory>

// A relay connection's steps, as the log knows their numbers; then every protocol's Closing.
enum class RelayStep : int {
    Connecting = 7,   // waiting for the exchanger's greeting
    EhloSent = 8,
    MailSent = 9,
    RcptSent = 10,
    DataSent = 11,
    TextSent = 12,    // message and end-of-data line sent
    QuitSent = 13,
    TlsSent = 14,     // STARTTLS sent to an exchanger that offered it
    // Only towards a relay host (RelayHost): the login, and the next copy on the same connection.
    AuthSent = 15,        // AUTH PLAIN, or the password of AUTH LOGIN
    AuthLoginSent = 16,   // AUTH LOGIN, waiting for the prompt for the user
    AuthUserSent = 17,    // the user of AUTH LOGIN, waiting for the prompt for the password
    RsetSent = 18,        // RSET between two copies
    Idle = 19,            // a copy decided and none waiting: kept open a moment for the next one
};

// Whether an exchanger's final reply took what it answered.
inline bool Accepted(const QByteArray& reply) { return reply.left(4) == "250 "; }

// The relay host (smarthost) every foreign copy goes to, when one is set: where it is, how TLS
// is held to, and the login. Made once at start-up (see relay/RelayHost.h).
struct RelayHostPolicy {
    enum class Tls { Verify, Encrypt, None };
    QString host;             // its name as the settings give it: the certificate must bear it (Verify)
    quint16 port = 587;
    Tls tls = Tls::Verify;
    QList<QSslCertificate> ca;   // trusted beside the system's store (Verify)
    QByteArray user, password;   // no login when user is empty
    QByteArray shown;            // "host:port" for the log
};

// The port exchangers take mail on.
inline constexpr quint16 SmtpRelayPort = 25;
// How long an exchanger may take for a reply, and for its reply to the whole message.
inline constexpr int RelayReplySeconds = 300;
inline constexpr int RelayTextReplySeconds = 600;

// Whether an RCPT reply took its recipient: only "250 " does.
inline bool RcptAccepted(const QByteArray& reply) { return reply.left(4) == "250 "; }

// What TLS a connection to one exchanger is held to (MTA-STS or DANE), and what the reports
// are told of it. Every connection to an exchanger has one, kind None when no policy holds.
struct MxPolicy {
    TlsOutcome::Policy kind = TlsOutcome::Policy::None;
    bool enforce = false;          // the copy waits rather than go without the TLS asked
    bool listed = true;            // the exchanger is one the MTA-STS policy names
    QByteArray domain, mx;
    QList<QByteArray> strings;     // the policy's lines, or the TLSA records
    QList<Dane::Record> tlsa;      // DANE: none usable asks for TLS with any certificate
    QList<QSslCertificate> ca;     // MTA-STS: trusted beside the system's store
    QByteArray failure;            // known before connecting: a policy that could not be fetched
    QByteArray Name() const { return kind == TlsOutcome::Policy::Tlsa ? "DANE" : "MTA-STS"; }
};

// The result type (RFC 8460) of the TLS an exchanger showed under `policy`; "" when it holds.
QByteArray Judge(const MxPolicy& policy, const QList<QSslCertificate>& chain, const QList<QSslError>& errors);

class RelaySession : public Connecter::Protocol {
public:
    QByteArray Sender;
    // One RCPT each, in this order, in one transaction.
    QList<QByteArray> Recipients;
    // The reply to each RCPT sent so far, in the order of Recipients; only "250 " takes one.
    QList<QByteArray> RcptReplies;
    // The copy to deliver, sent from the queue file as the exchanger takes it: the trace
    // line as head, then the text without its last CR LF (the end of data adds it).
    FileReply Text;
    bool TlsOffered = false;       // the exchanger's EHLO reply offers STARTTLS
    bool Utf8Offered = false;      // its last EHLO reply offers SMTPUTF8
    // Set for a relay host: STARTTLS and AUTH as it demands, and several copies in turn.
    std::shared_ptr<const RelayHostPolicy> Host;
    QList<QByteArray> AuthOffered;   // the SASL mechanisms of its last EHLO reply
    // Asked once a copy is decided, on a connection that can carry another: true when it has
    // put the next copy (Sender, Recipients, Text, Done) in place; the dialogue then goes on
    // with RSET instead of QUIT.
    std::function<bool(RelaySession&)> Next;
    // Seconds the connection waits in Idle for another copy (see RelayResume) before QUIT; 0: QUIT at once.
    int IdleWait = 0;
    // What became of the copy, told once: the reply that decided it and the step it came in,
    // and the RCPT replies (a recipient refused there is decided by its own).
    std::function<void(const QByteArray& reply, RelayStep step, const QList<QByteArray>& rcpt)> Done;
    // Told once as the connection ends, whatever became of its copies.
    std::function<void()> Gone;
    // An exchanger's (never a relay host's): the TLS it is held to.
    std::shared_ptr<const MxPolicy> Policy;
    QByteArray Address;   // the exchanger's, once it greeted
    // What the connection's TLS came to, told once to the reports (TellTlsOutcome).
    void Tell(const QByteArray& failure);

    // A connection that ends before the copy was decided tells why (see Lost).
    ~RelaySession() override;
    // The copy is decided: Done runs once with this reply.
    void Decide(const QByteArray& reply);

    RelayStep Step() const { return step_; }
    int IdleSeconds(int step, const Settings&) const override;
    void TimedOut(Server& server, qint16 index, qint64 silentSeconds) override;
    void Stepping(int, int to) override { step_ = RelayStep(to); }
    bool IsClient() const override { return true; }
    void Lost(const QByteArray& why) override;
    // A host may repeat the login in its replies: the log and the decided reply never show it.
    QByteArray Masked(const QByteArray& buffer, int) const override;

private:
    RelayStep step_ = RelayStep::Connecting;
    QByteArray error_;   // why the connection failed, "" when nothing is known
    bool told_ = false;
};
