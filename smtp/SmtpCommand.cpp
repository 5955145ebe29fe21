// The SMTP commands as one table (which verb is answered when, and by what), the order in
// which a buffer's lines are taken, and the end of a message.
#include "smtp/SmtpCommand.h"
#include "core/Access.h"
#include "core/Budget.h"
#include "core/Connecter.h"
#include "core/SessionPart.h"
#include "core/TextHelper.h"
#include "core/mdlCommon.h"
#include "mail/Domain.h"
#include "smtp/SmtpAuth.h"
#include "smtp/SmtpPolicy.h"
#include "smtp/SmtpSession.h"

#include <iterator>

namespace {

const QByteArray Syntax = "500 Syntax error";

// One command line being answered.
struct Turn {
    const SmtpPolicy& policy;
    Server& server;
    qint16 index;
    Connecter& c;
    SmtpSession& s;
    const QByteArray& line;
    void Reply(const QByteArray& text) { server.SendReply(index, text); }
};

void Process(const SmtpPolicy& policy, Server& server, qint16 index, Connecter& c, SmtpSession& s, const QByteArray& text);

QByteArray EhloReply(const QByteArray& host, bool offerTls)
{
    // The classic lines as they always were, with SMTPUTF8 (RFC 6531); STARTTLS when we can,
    // and AUTH once more in the form older clients read, so that they find LOGIN under its own name.
    return "250-" + host + "\r\n"
           "250-VRFY\r\n"
           "250-ETRN\r\n"
           "250-8BITMIME\r\n"
           "250-SMTPUTF8\r\n"
           "250-PIPELINING\r\n"
           "250-AUTH LONGIN PLAIN CRAM-MD5\r\n"
           "250-AUTH=LOGIN PLAIN CRAM-MD5\r\n"
           + QByteArray(offerTls ? "250-STARTTLS\r\n" : "") + "250 SIZE";
}

bool TlsOffer(const Turn& t) { return t.server.TlsAvailable() && !t.server.IsEncrypted(t.index); }

void Hello(Turn& t)
{
    const bool esmtp = t.line.left(4).toUpper() == "EHLO";
    const qsizetype blank = t.line.indexOf(' ');
    t.s.Helo = blank < 0 ? QByteArray() : t.line.mid(blank + 1).trimmed();
    t.s.Esmtp = esmtp;
    t.c.SetStep(int(esmtp ? SmtpStep::AfterEhlo : SmtpStep::AfterHelo));
    const QByteArray host = t.server.LocalHostName(t.index);
    t.Reply(esmtp ? EhloReply(host, TlsOffer(t)) : "250 " + host);
}

SmtpPolicy::Client Asking(const Turn& t)
{
    return {t.server.Config(), t.server.PeerAddress(t.index), t.server.LocalHostName(t.index), t.s.User, t.s.Submission};
}

// Once an answer the session waited for has come (`answer`, given the session): only if it is
// still the connection that asked, and then what the client sent meanwhile is taken.
void Resume(const SmtpPolicy& policy, Server& server, qint16 index, quint64 serial, const std::function<void(SmtpSession&)>& answer)
{
    Connecter* now = server.Session(index);
    SmtpSession* s = now && now->Serial == serial ? now->As<SmtpSession>() : nullptr;
    if (!s)
        return;   // the client left meanwhile
    s->Delivering = false;
    answer(*s);
    Process(policy, server, index, *now, *s, std::exchange(s->Pending, {}));
}

// A refused MAIL leaves an open transaction as it was, its sender included (RFC 5321 4.1.4);
// with none open, RCPT waits for a MAIL or RSET that is taken.
void RefuseSender(SmtpSession& s, Transaction kept)
{
    if (kept.Open)
        return void(s.Tx = std::move(kept));
    s.Tx.From.clear();
    s.Tx.DeclaredSize = 0;
    s.Tx.SenderRefused = true;
}

// The sender taken begins a new transaction.
void TakeSender(SmtpSession& s, std::any found = {})
{
    s.Tx = s.Tx.Following();
    s.Tx.Open = true;
    s.Tx.SenderCheck = std::move(found);
}

void Mail(Turn& t)
{
    Transaction kept = t.s.Tx;
    QByteArray reply = t.s.GetMAIL(t.line);
    if (reply.startsWith("250") && !t.s.User.isEmpty() && !t.policy.Owns(t.server.Config(), t.s.User, t.s.Tx.From))
        reply = "553 5.7.1 Sender address not owned by user";
    const SmtpPolicy::Client client = Asking(t);
    if (!reply.startsWith("250")) {
        RefuseSender(t.s, std::move(kept));
        return t.Reply(reply);
    }
    if (!t.policy.ChecksSender(client)) {
        TakeSender(t.s);
        return t.Reply(reply);
    }
    // The sender is checked first. What the client sends meanwhile waits, as it does behind a
    // message being stored.
    t.s.Delivering = true;
    auto check = std::make_shared<SmtpPolicy::SenderCheck>();
    const SmtpPolicy& policy = t.policy;
    Server& server = t.server;
    const qint16 index = t.index;
    server.Lookup(Server::Waits::Dns, client.address, [check, &policy, client, from = t.s.Tx.From, helo = t.s.Helo] { *check = policy.CheckSender(client, from, helo); },
                  [check, &policy, &server, index, serial = t.c.Serial, reply, kept = std::move(kept)] {
                      Resume(policy, server, index, serial, [&](SmtpSession& s) {
                          if (!check->refusal.isEmpty()) {
                              server.Log(QByteArray::number(index) + check->log);
                              RefuseSender(s, kept);
                              server.SendReply(index, check->refusal);
                          } else {
                              TakeSender(s, std::move(check->found));
                              server.SendReply(index, reply);
                          }
                      });
                  });
}

// Each recipient is classified here, once: the delivery takes what was found. Its syntax and
// parameters first, so a malformed address is told so whatever the address would be.
void Rcpt(Turn& t)
{
    if (++t.s.Tx.RcptCommands > t.server.Config().MaxRecipients)
        return t.Reply("452 4.5.3 Too many recipients");
    const QByteArray reply = t.s.GetRCPT(t.line);
    Recipient r;
    if (!reply.startsWith("250"))
        return t.Reply(reply);
    if (const QByteArray refusal = t.policy.Admit(t.s.Tx.Recipients.last(), Asking(t), r); !refusal.isEmpty()) {
        t.s.Tx.Recipients.removeLast();
        return t.Reply(refusal);
    }
    if (r.local) {
        t.s.Tx.Classified << r;
        return t.Reply(reply);
    }
    // Where a foreign recipient's mail would go is found first; what the client sends meanwhile waits.
    t.s.Delivering = true;
    const SmtpPolicy& policy = t.policy;
    Server& server = t.server;
    policy.Route(server, r, Asking(t), [&policy, &server, index = t.index, serial = t.c.Serial, r, reply](const QByteArray& refusal) {
        Resume(policy, server, index, serial, [&](SmtpSession& s) {
            if (refusal.isEmpty())
                s.Tx.Classified << r;
            else
                s.Tx.Recipients.removeLast();
            server.SendReply(index, refusal.isEmpty() ? reply : refusal);
        });
    });
}

// ETRN (RFC 1985): the deferred mail for a domain is tried now. "@domain" takes its
// subdomains too; named queues ("#") are not kept here.
void Etrn(Turn& t)
{
    const QByteArray node = t.line.mid(4).trimmed();
    if (node.isEmpty() || node.contains(' ') || BadAddress(node))
        return t.Reply("501 5.5.4 Syntax: ETRN domain");
    if (node.startsWith('#'))
        return t.Reply("458 Unable to queue messages for node " + node);
    const bool subdomains = node.startsWith('@');
    const Mail::Domain domain(subdomains ? node.mid(1) : node);
    if (domain.IsServed(mdlCommon::ServerDomain))
        return t.Reply("459 Node " + node + " not allowed: its mail is kept here for POP3");
    t.Reply(t.policy.Flush(QString::fromLatin1(domain.Name()), subdomains) > 0 ? "250 OK, queuing for node " + node + " started"
                                                     : "251 OK, no messages waiting for node " + node);
}

void Data(Turn& t)
{
    if (t.server.OverBudget()) {
        t.server.Log(QByteArray::number(t.index) + "-Refused: the memory budget is spent");
        return t.Reply("452 4.3.1 Insufficient system storage");
    }
    t.c.SetStep(int(SmtpStep::Text));
    // Only as much as the budget can give: a client may declare what it never sends.
    if (t.s.Tx.DeclaredSize > 0 && t.s.Tx.DeclaredSize <= std::min<qint64>(MaxMessageSize, Budget::Limit(t.server.Config().MemoryBudget) - Budget::Held()))
        t.s.Tx.Text.reserve(qsizetype(t.s.Tx.DeclaredSize) + 4096);
    t.Reply("354 Start mail input; end with <CRLF>.<CRLF>");
}

// Returns false: the rest of the buffer was sent in clear behind STARTTLS and is dropped.
bool StartTls(Turn& t)
{
    if (t.line.trimmed().toUpper() != "STARTTLS") {
        t.Reply(Syntax);
        return true;
    }
    t.Reply("220 Ready to start TLS");
    t.server.StartTls(t.index);
    // The session starts over, on the same port.
    const bool submission = t.s.Submission;
    t.s = SmtpSession{};
    t.s.Submission = submission;
    t.c.SetStep(int(SmtpStep::Commands));
    return false;
}

void Quit(Turn& t)
{
    t.c.SetStep(Closing);
    t.Reply("221 Merivolant ESMTP Closed");
}

// What a verb needs besides being known; a verb whose need is not met gets the need's reply.
enum Need : unsigned { Always = 0, Recipients = 1, NotAuthenticated = 2, TlsOffered = 4, SenderNotRefused = 8, Submitter = 16 };
struct Unmet {
    Need need;
    const char* reply;
};
const Unmet Refusals[] = {
    {TlsOffered, "500 Syntax error"},
    {NotAuthenticated, "503 5.5.1 Already authenticated"},
    {Submitter, "530 5.7.0 Authentication required"},
    {Recipients, "554 5.5.1 No valid recipients"},
    // Behind a refused MAIL a pipelining client has sent RCPT and DATA already: taking them
    // would take the empty message it ends with, from nobody.
    {SenderNotRefused, "503 5.5.1 Bad sequence of commands"},
};

bool Met(Need need, const Turn& t)
{
    switch (need) {
    case Recipients: return !t.s.Tx.Recipients.isEmpty();
    case NotAuthenticated: return t.s.User.isEmpty();
    case TlsOffered: return TlsOffer(t);
    case SenderNotRefused: return !t.s.Tx.SenderRefused;
    case Submitter: return !t.s.Submission || !t.s.User.isEmpty();
    case Always: break;
    }
    return true;
}

struct Verb {
    const char* word;   // the first four characters of the line, in upper case
    unsigned needs;
    bool (*answer)(Turn&);   // false: drop the rest of the buffer
};
template <void (*F)(Turn&)>
bool Go(Turn& t) { F(t); return true; }

const Verb Verbs[] = {
    {"HELO", Always, Go<Hello>},
    {"EHLO", Always, Go<Hello>},
    {"MAIL", Submitter, Go<Mail>},
    {"RCPT", Submitter | SenderNotRefused, Go<Rcpt>},
    {"AUTH", NotAuthenticated, [](Turn& t) { SmtpAuth(t.server, t.index, t.s, t.line); return true; }},
    {"STAR", TlsOffered, StartTls},
    {"DATA", Submitter | Recipients, Go<Data>},
    {"RSET", Always, [](Turn& t) { t.s.Tx = {}; t.Reply("250 OK"); return true; }},
    {"NOOP", Always, [](Turn& t) { t.Reply("250 OK"); return true; }},
    {"VRFY", Always, [](Turn& t) { t.Reply("252 2.5.2 Cannot VRFY user, but will accept message"); return true; }},
    {"EXPN", Always, [](Turn& t) { t.Reply("502 5.5.1 EXPN not available"); return true; }},
    {"ETRN", Always, Go<Etrn>},
    {"HELP", Always, [](Turn& t) { t.Reply("214 2.0.0 Commands: HELO EHLO MAIL RCPT DATA RSET NOOP VRFY ETRN HELP QUIT"); return true; }},
    {"QUIT", Always, Go<Quit>},
};

// A login lasts only while its account does: once the account is gone from Users.txt the
// session is nobody's, and the transaction it opened goes with it.
void LoginLapses(Turn& t)
{
    if (t.s.User.isEmpty() || Access::AccountExists(t.s.User))
        return;
    t.server.Log(QByteArray::number(t.index) + "-AUTH " + t.s.User.toUtf8() + ": the account is gone; logged out");
    t.s.User.clear();
    t.s.Tx = {};
}

// Answers one command line. Returns false when the rest of the buffer must be dropped.
bool CommandLine(Turn& t)
{
    if (t.line.size() > MaxCommandLine) {
        t.Reply("500 5.5.2 Line too long");
        return true;
    }
    if (!t.s.Auth.isEmpty()) {   // the client's answer to our 334
        SmtpAuth(t.server, t.index, t.s, t.line);
        return true;
    }
    LoginLapses(t);
    const QByteArray word = t.line.left(4).toUpper();
    const auto verb = std::find_if(std::begin(Verbs), std::end(Verbs), [&](const Verb& v) { return word == v.word; });
    if (verb == std::end(Verbs)) {
        t.Reply(Syntax);
        return true;
    }
    for (const Unmet& u : Refusals)
        if ((verb->needs & u.need) && !Met(u.need, t)) {
            t.Reply(u.reply);
            return true;
        }
    return verb->answer(t);
}

// Adds message text from text[pos..]. Returns the position in `text` just after the
// end-of-data line, or -1 when the message goes on.
qsizetype TakeMessageText(SmtpSession& s, const QByteArray& text, qsizetype pos, bool budgetSpent)
{
    if (budgetSpent)   // text that comes while memory is short is not kept, and the message refused
        s.OverBudget = true;
    const qsizetype before = s.Tx.Text.size();
    s.Tx.Text.append(text.constData() + pos, text.size() - pos);
    qsizetype lineStart = -1;   // where the line "." starts
    if (s.TextScanned == 0 && s.Tx.Text.startsWith(".\r\n")) {
        lineStart = 0;
    } else {
        // Text always ended with CR LF before this piece, so the line "." can start at the
        // first new byte: search from the CR LF before it.
        const qsizetype from = std::max<qsizetype>(0, std::min(s.TextScanned, before) - 2);
        const qsizetype at = s.Tx.Text.indexOf("\r\n.\r\n", from);
        if (at >= 0) lineStart = at + 2;
    }
    if (lineStart < 0) {
        if (s.Tx.Text.size() > MaxMessageSize || (s.OverBudget && s.Tx.Text.size() > 2)) {
            // Keep only the tail the end-of-data search needs.
            s.Oversized = !s.OverBudget;
            s.Tx.Text = s.Tx.Text.right(2);
        }
        s.TextScanned = s.Tx.Text.size();
        return -1;
    }
    const qsizetype endInText = lineStart + 3;
    s.Tx.Text.truncate(lineStart);   // the lines as received, without the "." line
    s.TextScanned = 0;
    return pos + (endInText - before);
}

// The line "." has come: the message is delivered (or refused) before anything else is read.
void EndOfData(const SmtpPolicy& policy, Server& server, qint16 index, Connecter& c, SmtpSession& s)
{
    const QByteArray refusal = s.Oversized ? "552 Message too large" : s.OverBudget ? "452 4.3.1 Insufficient system storage" : QByteArray();
    Envelope message{s.Tx.From, s.Tx.Recipients, s.Tx.Classified, std::move(s.Tx.Text), Envelope::Origin::Smtp, s.Helo, s.Esmtp, server.PeerAddress(index), s.User, index,
                     s.Submission, s.Tx.SenderCheck, server.IsEncrypted(index)};
    s.Tx = s.Tx.Following();
    c.SetStep(int(SmtpStep::Commands));
    if (!refusal.isEmpty()) {
        server.Log(QByteArray::number(index) + "-Refused: " + refusal);
        server.SendReply(index, refusal);
        return;
    }
    s.Delivering = true;
    policy.Deliver(server, std::move(message), [&policy, &server, index, serial = c.Serial](const Outcome& outcome) {
        Resume(policy, server, index, serial, [&](SmtpSession&) {
            server.SendReply(index, outcome.refusal.isEmpty() ? QByteArray("250 OK <SB>") : outcome.refusal);
        });
    });
}

void Process(const SmtpPolicy& policy, Server& server, qint16 index, Connecter& c, SmtpSession& s, const QByteArray& text)
{
    qsizetype pos = 0;
    while (pos < text.size() && c.Step() != Closing) {
        if (s.Delivering) {
            s.Pending += text.mid(pos);   // answered once the message is stored
            return;
        }
        if (c.Step() == int(SmtpStep::Text)) {
            const qsizetype end = TakeMessageText(s, text, pos, server.OverBudget());
            if (end < 0)
                return;
            pos = end;
            EndOfData(policy, server, index, c, s);
            continue;
        }
        if (server.Waiting(index)) {   // a delayed answer first: the rest is taken after it
            c.Command = text.mid(pos);
            return;
        }
        qsizetype next = 0;
        const QByteArray line = TextHelper::LineAt(text, pos, &next);
        Turn t{policy, server, index, c, s, line};
        if (!CommandLine(t))
            return;
        pos = next;
    }
}

}

void SmtpCommand(const SmtpPolicy& policy, Server& server, qint16 index, const QByteArray& text)
{
    const auto [c, s] = PartOf<SmtpSession>(server, index, "SMTP text");
    if (!s)
        return;
    c->Command.clear();
    Process(policy, server, index, *c, *s, text);
}

Service SmtpService(const SmtpPolicy& policy)
{
    const auto handler = [&policy](Server& server, qint16 index, const QByteArray& text) { SmtpCommand(policy, server, index, text); };
    Service service = MakeService<SmtpSession>(handler, int(SmtpStep::Commands), "220 ", " Merivolant ESMTP", "421 4.7.0 Too many connections",
                                               "421 4.3.2 System busy, try again later");
    // The same greeting and dialogue on the submission ports, with their rules: implicit TLS
    // is submission too (RFC 8314 3.3).
    service.accept = [greet = std::move(service.accept)](Server& server, qint16 index) {
        greet(server, index);
        const int port = server.LocalPort(index);
        const bool submission = port > 0 && (port == mdlCommon::PortNumber(server.Config().SubmissionPort) || port == mdlCommon::PortNumber(server.Config().SmtpsPort));
        Connecter* c = server.Session(index);
        if (SmtpSession* s = c ? c->As<SmtpSession>() : nullptr; s && submission)
            s->Submission = true;
    };
    return service;
}
