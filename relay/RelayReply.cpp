// The relay client's dialogue as one table: what each reply leads to in each step.
#include "relay/RelayReply.h"
#include "relay/RelaySession.h"

#include <QList>

#include <iterator>

RelaySession::~RelaySession() { Decide(error_.isEmpty() ? QByteArray("connection closed before a reply") : error_); }

void RelaySession::Decide(const QByteArray& reply)
{
    if (auto done = std::exchange(Done, nullptr))
        done(reply, step_);
}

int RelaySession::IdleSeconds(int step) const
{
    return step == int(RelayStep::TextSent) ? RelayTextReplySeconds : RelayReplySeconds;
}

void RelaySession::TimedOut(Server& server, qint16 index, qint64 silentSeconds)
{
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

void Ehlo(Turn& t) { t.Send(RelayStep::EhloSent, "EHLO " + t.server.LocalHostName(t.index)); }

void Mail(Turn& t)
{
    if (!t.server.IsEncrypted(t.index))
        t.server.Log(QByteArray::number(t.index) + "-TLS none: " + (t.r.TlsOffered ? "the exchanger refused STARTTLS" : "the exchanger offers no STARTTLS"));
    t.Send(RelayStep::MailSent, "MAIL FROM:<" + t.r.Sender + "> SIZE=" + QByteArray::number(t.r.Text.head.size() + t.r.Text.length));
}

// The EHLO reply, perhaps in several pieces: on once its last line ("250 ") has come, with
// TLS first when the exchanger offers it and we have not begun it yet.
void EhloDone(Turn& t)
{
    for (const QByteArray& line : t.reply.split('\n'))
        if (line.mid(4).trimmed().toUpper() == "STARTTLS")
            t.r.TlsOffered = true;
    if (!t.reply.startsWith("250 ") && !t.reply.contains("250 "))
        return;
    if (!t.r.TlsOffered || t.server.IsEncrypted(t.index))
        return Mail(t);
    t.Send(RelayStep::TlsSent, "STARTTLS");
}

void Tls(Turn& t)
{
    t.server.StartClientTls(t.index, ClientTls{}, [&server = t.server, index = t.index, serial = t.c.Serial] {
        Connecter* c = server.Session(index);
        if (!c || c->Serial != serial)
            return;
        // The session starts over inside TLS.
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

// 250: delivered; anything else: refused or to be tried again.
void Decided(Turn& t)
{
    t.r.Decide(t.reply);
    t.Send(RelayStep::QuitSent, "QUIT ");
}

struct Row {
    RelayStep step;
    const char* codes;       // the replies that let the dialogue go on, "|" between ("" any)
    void (*proceed)(Turn&);
    void (*otherwise)(Turn&);
};
const Row Rows[] = {
    {RelayStep::Connecting, "220 ", Ehlo, Fail},
    {RelayStep::EhloSent, "250-|250 ", EhloDone, Fail},
    {RelayStep::TlsSent, "220 ", Tls, Mail},   // STARTTLS refused: on in clear
    {RelayStep::MailSent, "250 ", [](Turn& t) { t.Send(RelayStep::RcptSent, "RCPT TO:<" + t.r.Recipient + ">"); }, Fail},
    {RelayStep::RcptSent, "250 ", [](Turn& t) { t.Send(RelayStep::DataSent, "DATA"); }, Fail},
    {RelayStep::DataSent, "354 ", Text, Fail},
    {RelayStep::TextSent, "", Decided, Decided},
    {RelayStep::QuitSent, "221 ", [](Turn& t) { t.server.Release(t.index); }, [](Turn& t) { t.server.SendReply(t.index, "QUIT "); }},
};

}

void RelayReply(Server& server, qint16 index, const QByteArray& text)
{
    Connecter* c = server.Session(index);
    RelaySession* r = c ? c->As<RelaySession>() : nullptr;
    if (!r) {
        server.Log(QByteArray::number(index) + "-Ignored: no session for relay reply");
        return;
    }
    c->Command.clear();
    Turn t{server, index, *c, *r, text};
    const auto row = std::find_if(std::begin(Rows), std::end(Rows), [&](const Row& w) { return int(w.step) == c->Step(); });
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

Service RelayService()
{
    Service service;
    service.command = RelayReply;
    return service;
}
