// The POP3 commands as one table: which verb is answered when, and by what.
#include "pop3/Pop3Command.h"
#include "core/Access.h"
#include "core/Failure.h"
#include "core/SessionPart.h"
#include "core/TextHelper.h"
#include "pop3/Pop3Session.h"

#include <iterator>

namespace {
const QByteArray NotSupported = QByteArrayLiteral("-ERR \xE5\xAF\xBE\xE5\xBF\x9C\xE3\x81\x97\xE3\x81\xA6\xE3\x81\xBE\xE3\x81\x9B\xE3\x82\x93\xE3\x80\x82");  // 対応してません。
const QByteArray UnknownCommand = "-ERR command error";
const QByteArray LoginError = "-ERR [AUTH] Invalid user name or password";
const QByteArray LockedOutError = "-ERR [SYS/TEMP] Too many failed logins, try again later";

// One command being answered.
struct Turn {
    Server& server;
    qint16 index;
    Connecter& c;
    Pop3Session& s;
    const QByteArray& line;
    bool tls = false;   // TLS begins behind this line
    void Reply(QByteArray text) { server.SendReplyTaken(index, std::move(text)); }
};

// What a verb needs besides being known; a verb whose need is not met is answered with
// the need's refusal, or as an unknown command when it has none.
enum Need : unsigned { Always = 0, TlsOffered = 1, BeforeLogin = 2 };
struct Unmet {
    Need need;
    const char* refusal;
};
const Unmet Refusals[] = {
    {TlsOffered, nullptr},
    {BeforeLogin, "-ERR STLS only before login"},
};

QString Argument(const QByteArray& text)
{
    return QString::fromUtf8(TextHelper::TextBetween(text, " ", "\r\n"));
}

// USER and PASS answer alike either way, locked out too (nobody is logged in then); once
// both are given, the login is checked when the client's address has waited its turn. With
// Pop3LoginErrors a failed login says so (RFC 3206), so the client can say the password is wrong.
void Login(Turn& t)
{
    const QString argument = Argument(t.line);
    if (t.line.left(4).toUpper() == "USER")
        t.s.SetUserName(argument);
    else
        t.s.SetPassword(argument);
    const QByteArray reply = "+OK all respons OK";
    if (t.s.UserName().isEmpty() || t.s.Password().isEmpty())
        return t.server.SendReply(t.index, reply);
    Server& server = t.server;
    Pop3Session* s = &t.s;
    const bool errors = server.Config().Pop3LoginErrors;
    Access::Attempt(server, t.index, [s] { return s->LogIn(); }, [&server, index = t.index, s, reply, errors](Access::Verdict v) {
        if (v == Access::Verdict::LockedOut)
            s->SetMailID({});
        if (!errors || v == Access::Verdict::Granted)
            return server.SendReply(index, reply);
        s->SetPassword({});   // the next USER starts a new login
        server.SendReply(index, v == Access::Verdict::LockedOut ? LockedOutError : LoginError);
    }, s->UserName());
}

void Stls(Turn& t)
{
    t.server.SendReply(t.index, "+OK Begin TLS negotiation");
    t.server.StartTls(t.index);
    t.tls = true;
}

void Quit(Turn& t)
{
    t.server.SendReply(t.index, "+OK Merivolant POP3 Closed");
    t.c.SetStep(Closing);
}

void Capa(Turn& t)
{
    const bool tls = t.server.TlsAvailable() && !t.server.IsEncrypted(t.index);
    const bool codes = t.server.Config().Pop3LoginErrors;
    t.Reply(QByteArray("+OK\r\n") + (tls ? "STLS\r\n" : "") + "USER\r\nUIDL\r\nTOP\r\nPIPELINING\r\n"
            + (codes ? "RESP-CODES\r\nAUTH-RESP-CODE\r\n" : "") + ".");
}

struct Verb {
    const char* word;   // the first four characters of the line, in upper case
    unsigned needs;
    void (*answer)(Turn&);
};
const Verb Verbs[] = {
    {"USER", Always, Login},
    {"PASS", Always, Login},
    {"STLS", TlsOffered | BeforeLogin, Stls},
    {"STAT", Always, [](Turn& t) { t.Reply(t.s.GetSTAT()); }},
    {"LIST", Always, [](Turn& t) { t.Reply(t.s.GetLIST(t.line)); }},
    {"RETR", Always, [](Turn& t) { t.server.SendFile(t.index, t.s.GetRETR(t.line)); }},
    {"DELE", Always, [](Turn& t) { t.Reply(t.s.GetDELE(t.line)); }},
    {"NOOP", Always, [](Turn& t) { t.Reply("+OK "); }},
    {"RSET", Always, [](Turn& t) { t.Reply(t.s.GetRSET()); }},
    {"QUIT", Always, Quit},
    {"TOP ", Always, [](Turn& t) { t.server.SendFile(t.index, t.s.GetTOP(t.line)); }},
    {"CAPA", Always, Capa},
    {"APOP", Always, [](Turn& t) { t.Reply(NotSupported); }},
    {"AUTH", Always, [](Turn& t) { t.Reply(NotSupported); }},
    {"LAST", Always, [](Turn& t) { t.Reply(NotSupported); }},
    {"UIDL", Always, [](Turn& t) { t.Reply(t.s.GetUIDL(t.line)); }},
};

bool Met(Need need, const Turn& t)
{
    switch (need) {
    case TlsOffered: return t.server.TlsAvailable() && !t.server.IsEncrypted(t.index);
    case BeforeLogin: return t.s.MailID().isEmpty();
    case Always: break;
    }
    return true;
}

void Answer(Turn& t)
{
    const QByteArray word = t.line.left(4).toUpper();
    const auto verb = std::find_if(std::begin(Verbs), std::end(Verbs), [&](const Verb& v) { return word == v.word; });
    if (verb == std::end(Verbs))
        return t.Reply(UnknownCommand);
    for (const Unmet& u : Refusals)
        if ((verb->needs & u.need) && !Met(u.need, t))
            return t.Reply(u.refusal ? QByteArray(u.refusal) : UnknownCommand);
    try {
        verb->answer(t);
    } catch (const Failure& f) {
        t.Reply("-ERR " + f.text());   // USER or PASS without an argument
    }
}

}

void Pop3Command(Server& server, qint16 index, const QByteArray& text)
{
    const auto [c, s] = PartOf<Pop3Session>(server, index, "POP3 text");
    if (!s)
        return;
    // Every line of a buffer is answered in order (RFC 2449 PIPELINING), none after QUIT or
    // after STLS (what follows it in clear is dropped); while an answer waits (a delayed login,
    // a message still going out), the lines after it wait in the buffer.
    c->Command.clear();
    for (qsizetype pos = 0; pos < text.size() && c->Step() != Closing;) {
        if (server.Waiting(index)) {
            c->Command = text.mid(pos);
            return;
        }
        qsizetype next = 0;
        const QByteArray line = TextHelper::LineAt(text, pos, &next);
        Turn t{server, index, *c, *s, line};
        Answer(t);
        if (t.tls)
            return;
        pos = next;
    }
}

Service Pop3Service()
{
    return MakeService<Pop3Session>(Pop3Command, int(Pop3Step::Session), "+OK ", " Merivolant POP3", "-ERR Too many connections",
                                    "-ERR System busy, try again later");
}
