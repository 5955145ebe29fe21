// The relay client's dialogue as one table: what each reply leads to in each step.
#include "relay/RelayClient.h"
#include "core/SessionPart.h"
#include "relay/RelaySession.h"

#include <QList>

#include <algorithm>
#include <iterator>

RelaySession::~RelaySession()
{
    Decide(error_.isEmpty() ? QByteArray("connection closed before a reply") : error_);
    if (auto gone = std::exchange(Gone, nullptr))
        gone();
}

void RelaySession::Lost(const QByteArray& why)
{
    // A relay host whose certificate fails the check is refused here; an exchanger's TLS that
    // failed is told to the reports.
    const bool policy = Policy && Policy->kind != TlsOutcome::Policy::None;
    if (Policy && step_ == RelayStep::TlsSent && !told_) {
        Tell("validation-failure");
        error_ = policy ? Policy->Name() + ": TLS with " + Policy->mx + " failed: " + why : why;
        return;
    }
    error_ = Host && step_ == RelayStep::TlsSent ? "TLS failed: " + why : why;
}

void RelaySession::Tell(const QByteArray& failure)
{
    if (!Policy || std::exchange(told_, true))
        return;
    TellTlsOutcome(TlsOutcome{Policy->domain, Policy->kind, Policy->strings, Policy->mx, Address,
                              failure.isEmpty() ? Policy->failure : failure});
}

QByteArray Judge(const MxPolicy& policy, const QList<QSslCertificate>& chain, const QList<QSslError>& errors)
{
    switch (policy.kind) {
    case TlsOutcome::Policy::None:
        return {};
    case TlsOutcome::Policy::Tlsa:
        return policy.tlsa.isEmpty() || Dane::Matches(policy.tlsa, chain, policy.mx) ? QByteArray() : "validation-failure";
    case TlsOutcome::Policy::Sts:
        break;
    }
    if (!policy.listed)
        return "validation-failure";
    const auto has = [&](std::initializer_list<QSslError::SslError> kinds) {
        return std::any_of(errors.begin(), errors.end(), [&](const QSslError& e) { return std::find(kinds.begin(), kinds.end(), e.error()) != kinds.end(); });
    };
    if (errors.isEmpty())
        return {};
    if (has({QSslError::HostNameMismatch}))
        return "certificate-host-mismatch";
    if (has({QSslError::CertificateExpired, QSslError::CertificateNotYetValid}))
        return "certificate-expired";
    return "certificate-not-trusted";
}

void RelaySession::Decide(const QByteArray& reply)
{
    // What is decided is kept in the queue file, listed and mailed back to the sender.
    if (auto done = std::exchange(Done, nullptr)) {
        QList<QByteArray> rcpt;
        for (const QByteArray& r : RcptReplies)
            rcpt << Masked(r, 0);
        done(Masked(reply, 0), step_, rcpt);
    }
}

QByteArray RelaySession::Masked(const QByteArray& buffer, int) const
{
    if (!Host || Host->password.isEmpty())
        return buffer;
    QByteArray shown = buffer;
    const QByteArray plain = (QByteArray(1, '\0') + Host->user + '\0' + Host->password).toBase64();
    for (const QByteArray& secret : {plain, Host->password.toBase64(), Host->password})
        shown.replace(secret, "********");
    return shown;
}

int RelaySession::IdleSeconds(int step, const Settings&) const
{
    if (step == int(RelayStep::Idle))
        return IdleWait;
    return step == int(RelayStep::TextSent) ? RelayTextReplySeconds : RelayReplySeconds;
}

void RelaySession::TimedOut(Server& server, qint16 index, qint64 silentSeconds)
{
    if (step_ == RelayStep::Idle) {   // no further copy came: goodbye
        if (Connecter* c = server.Session(index))
            c->SetStep(int(RelayStep::QuitSent));
        server.SendReply(index, "QUIT ");
        return;
    }
    error_ = "no reply for " + QByteArray::number(silentSeconds) + " s";
    server.Release(index);
}

namespace {

// One reply being answered.
struct Turn {
    Server& server;
    qint16 index;
    Connecter& c;
    RelaySession& r;
    const QByteArray& reply;
    void Send(RelayStep next, const QByteArray& line)
    {
        c.SetStep(int(next));
        server.SendReply(index, line);
    }
};


void Fail(Turn& t)
{
    t.r.Decide(t.reply);
    t.Send(RelayStep::QuitSent, "QUIT ");
}

// The copy is given up for `why`, and the connection with it.
void Refuse(Turn& t, const QByteArray& why)
{
    t.r.Decide(why);
    t.Send(RelayStep::QuitSent, "QUIT ");
}

// After a copy is decided: the next one on the same connection when the queue has one for
// it (a relay host), else goodbye.
void Continue(Turn& t)
{
    if (t.r.Next && !t.reply.startsWith("421")) {
        if (t.r.Next(t.r))
            return t.Send(RelayStep::RsetSent, "RSET");
        if (t.r.IdleWait > 0)
            return t.c.SetStep(int(RelayStep::Idle));
    }
    t.Send(RelayStep::QuitSent, "QUIT ");
}

// The envelope or the message refused: decided, and the connection may carry another copy.
void Refused(Turn& t)
{
    t.r.Decide(t.reply);
    Continue(t);
}

void Ehlo(Turn& t)
{
    if (t.r.Address.isEmpty())
        t.r.Address = t.server.PeerAddress(t.index);
    t.r.AuthOffered.clear();
    t.r.Utf8Offered = false;
    t.Send(RelayStep::EhloSent, "EHLO " + t.server.LocalHostName(t.index));
}

void Mail(Turn& t)
{
    if (!t.server.IsEncrypted(t.index))
        t.server.Log(QByteArray::number(t.index) + "-TLS none: "
                     + (t.r.Host ? QByteArray("RelayHostTls=none")
                                 : QByteArray(t.r.TlsOffered ? "the exchanger refused STARTTLS" : "the exchanger offers no STARTTLS")));
    t.r.RcptReplies.clear();
    // An address in UTF-8 goes only to an exchanger that takes it (RFC 6531 3.4); the sender
    // hears why, as from a refused MAIL.
    const auto ascii = [](const QByteArray& a) { return std::all_of(a.begin(), a.end(), [](char c) { return uchar(c) < 0x80; }); };
    const bool utf8 = !ascii(t.r.Sender) || !std::all_of(t.r.Recipients.begin(), t.r.Recipients.end(), ascii);
    if (utf8 && !t.r.Utf8Offered) {
        t.c.SetStep(int(RelayStep::MailSent));
        return Refuse(t, "553 5.6.7 SMTPUTF8 is required, but the exchanger does not offer it");
    }
    t.Send(RelayStep::MailSent, "MAIL FROM:<" + t.r.Sender + "> SIZE=" + QByteArray::number(t.r.Text.head.size() + t.r.Text.length)
                                    + (utf8 ? " SMTPUTF8" : ""));
}

// A relay host's EHLO reply is all in: TLS as the policy demands, then the login, inside TLS only.
void HostReady(Turn& t)
{
    const RelayHostPolicy& h = *t.r.Host;
    const bool encrypted = t.server.IsEncrypted(t.index);
    if (h.tls != RelayHostPolicy::Tls::None && !encrypted) {
        if (!t.r.TlsOffered)
            return Refuse(t, "no STARTTLS offered, and RelayHostTls requires it");
        return t.Send(RelayStep::TlsSent, "STARTTLS");
    }
    if (h.user.isEmpty() || !encrypted)
        return Mail(t);
    if (t.r.AuthOffered.contains("PLAIN")) {
        t.c.SetStep(int(RelayStep::AuthSent));
        return t.server.SendSecret(t.index, "AUTH PLAIN " + (QByteArray(1, '\0') + h.user + '\0' + h.password).toBase64(), "AUTH PLAIN ********");
    }
    if (t.r.AuthOffered.contains("LOGIN"))
        return t.Send(RelayStep::AuthLoginSent, "AUTH LOGIN");
    Refuse(t, "no AUTH PLAIN or LOGIN offered");
}

// One line of AUTH LOGIN, after the host's prompt for it.
void LoginLine(Turn& t, RelayStep next, const QByteArray& value)
{
    t.c.SetStep(int(next));
    t.server.SendSecret(t.index, value.toBase64(), "********");
}

// An exchanger gives no TLS: on in clear, unless its policy asks for TLS.
void Plain(Turn& t, const QByteArray& why)
{
    t.r.Tell("starttls-not-supported");
    if (const MxPolicy* p = t.r.Policy.get(); p && p->enforce)
        return Refuse(t, p->Name() + ": " + p->mx + " " + why + ", and the policy requires TLS");
    Mail(t);
}

// An exchanger's TLS as its policy asks: told to the reports, the connection ended when it
// falls short of a policy enforced.
ClientTls Checked(Turn& t)
{
    ClientTls tls;
    const std::shared_ptr<const MxPolicy> p = t.r.Policy;
    if (!p)
        return tls;
    tls.verifyPeer = p->kind == TlsOutcome::Policy::Sts;
    tls.peerName = QString::fromLatin1(p->mx);
    tls.ca = p->ca;
    tls.judge = [&server = t.server, index = t.index, serial = t.c.Serial, p](const QList<QSslCertificate>& chain, const QList<QSslError>& errors) {
        const QByteArray failure = Judge(*p, chain, errors);
        if (Connecter* c = server.Session(index); c && c->Serial == serial)
            if (RelaySession* r = c->As<RelaySession>())
                r->Tell(failure);
        return failure.isEmpty() || !p->enforce ? QByteArray() : p->Name() + ": TLS with " + p->mx + " failed: " + failure;
    };
    return tls;
}

// The EHLO reply, perhaps in several pieces: on once its last line ("250 ") has come, with
// TLS first when the exchanger offers it and we have not begun it yet.
void EhloDone(Turn& t)
{
    for (const QByteArray& line : t.reply.split('\n')) {
        const QByteArray keyword = line.mid(4).trimmed().toUpper();
        if (keyword == "STARTTLS")
            t.r.TlsOffered = true;
        if (keyword == "SMTPUTF8")
            t.r.Utf8Offered = true;
        // "AUTH PLAIN LOGIN", or the older "AUTH=PLAIN LOGIN"
        if (t.r.Host && (keyword.startsWith("AUTH ") || keyword.startsWith("AUTH=")))
            t.r.AuthOffered += keyword.mid(5).simplified().split(' ');
    }
    if (!t.reply.startsWith("250 ") && !t.reply.contains("250 "))
        return;
    if (t.r.Host)
        return HostReady(t);
    if (t.server.IsEncrypted(t.index))
        return Mail(t);
    if (!t.r.TlsOffered)
        return Plain(t, "offers no STARTTLS");
    t.Send(RelayStep::TlsSent, "STARTTLS");
}

void Tls(Turn& t)
{
    ClientTls policy = Checked(t);
    if (const RelayHostPolicy* h = t.r.Host.get()) {
        policy.verifyPeer = h->tls == RelayHostPolicy::Tls::Verify;
        policy.peerName = h->host;
        policy.ca = h->ca;
    }
    t.server.StartClientTls(t.index, policy, [&server = t.server, index = t.index, serial = t.c.Serial] {
        Connecter* c = server.Session(index);
        if (!c || c->Serial != serial)
            return;
        // The session starts over inside TLS: what the host offers is asked again.
        if (RelaySession* r = c->As<RelaySession>())
            r->AuthOffered.clear();
        c->SetStep(int(RelayStep::EhloSent));
        server.SendReply(index, "EHLO " + server.LocalHostName(index));
    });
}

void Text(Turn& t)
{
    t.c.SetStep(int(RelayStep::TextSent));
    t.server.SendFile(t.index, std::move(t.r.Text));
    t.server.SendReply(t.index, ".");
}

void Rcpt(Turn& t) { t.Send(RelayStep::RcptSent, "RCPT TO:<" + t.r.Recipients.value(t.r.RcptReplies.size()) + ">"); }

// Each RCPT in turn, whatever the one before was told; DATA once all are answered and one
// was taken. One recipient gives the dialogue it always had.
void RcptAnswered(Turn& t)
{
    t.r.RcptReplies << t.reply;
    if (t.r.RcptReplies.size() < t.r.Recipients.size())
        return Rcpt(t);
    if (std::any_of(t.r.RcptReplies.begin(), t.r.RcptReplies.end(), RcptAccepted))
        return t.Send(RelayStep::DataSent, "DATA");
    Refused(t);
}

// 250: delivered; anything else: refused or to be tried again.
void Decided(Turn& t)
{
    t.r.Decide(t.reply);
    Continue(t);
}

// STARTTLS refused: on in clear to an exchanger; a relay host must give TLS.
void NoTls(Turn& t)
{
    if (t.r.Host)
        return Refuse(t, "STARTTLS refused: " + t.reply);
    Plain(t, "refused STARTTLS (" + t.reply.trimmed() + ")");
}

void AuthRefused(Turn& t) { Refuse(t, "login refused: " + t.reply); }

struct Row {
    RelayStep step;
    const char* codes;       // the replies that let the dialogue go on, "|" between ("" any)
    void (*proceed)(Turn&);
    void (*otherwise)(Turn&);
};
const Row Rows[] = {
    {RelayStep::Connecting, "220 ", Ehlo, Fail},
    {RelayStep::EhloSent, "250-|250 ", EhloDone, Fail},
    {RelayStep::TlsSent, "220 ", Tls, NoTls},
    {RelayStep::MailSent, "250 ", Rcpt, Refused},
    {RelayStep::RcptSent, "", RcptAnswered, nullptr},
    {RelayStep::DataSent, "354 ", Text, Refused},
    {RelayStep::TextSent, "", Decided, Decided},
    {RelayStep::AuthSent, "235 ", Mail, AuthRefused},
    {RelayStep::AuthLoginSent, "334 ", [](Turn& t) { LoginLine(t, RelayStep::AuthUserSent, t.r.Host->user); }, AuthRefused},
    {RelayStep::AuthUserSent, "334 ", [](Turn& t) { LoginLine(t, RelayStep::AuthSent, t.r.Host->password); }, AuthRefused},
    {RelayStep::RsetSent, "250 ", Mail, Fail},
    // Unasked (a 421 as the host gives up on us): nothing of ours is under way.
    {RelayStep::Idle, "", [](Turn& t) { t.server.Release(t.index); }, nullptr},
    {RelayStep::QuitSent, "221 ", [](Turn& t) { t.server.Release(t.index); }, [](Turn& t) { t.server.SendReply(t.index, "QUIT "); }},
};

}

void RelayReply(Server& server, qint16 index, const QByteArray& text)
{
    const auto [c, r] = PartOf<RelaySession>(server, index, "relay reply");
    if (!r)
        return;
    c->Command.clear();
    Turn t{server, index, *c, *r, text};
    const auto row = std::find_if(std::begin(Rows), std::end(Rows), [step = c->Step()](const Row& w) { return int(w.step) == step; });
    if (row == std::end(Rows)) {
        server.SendReply(index, "500 Syntax error");
        server.Release(index);
        return;
    }
    const QByteArray code = text.left(4).toUpper();
    const QByteArray codes = row->codes;
    const bool goesOn = codes.isEmpty() || codes.split('|').contains(code);
    (goesOn ? row->proceed : row->otherwise)(t);
}

bool RelayResume(Server& server, qint16 index)
{
    Connecter* c = server.Session(index);
    RelaySession* r = c ? c->As<RelaySession>() : nullptr;
    if (!r || c->Step() != int(RelayStep::Idle) || !r->Next || !r->Next(*r))
        return false;
    c->SetStep(int(RelayStep::RsetSent));
    server.SendReply(index, "RSET");
    return true;
}

Service RelayService()
{
    Service service;
    service.command = RelayReply;
    return service;
}
