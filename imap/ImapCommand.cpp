// The IMAP commands as one table: which command is answered in which state, and by what;
// logging in, and the commands that need no folder.
#include "imap/ImapCommand.h"
#include "core/Access.h"
#include "core/Budget.h"
#include "core/SessionPart.h"
#include "imap/ImapTurn.h"
#include "store/MailStore.h"

#include <algorithm>
#include <iterator>

namespace Imap {

namespace {

using State = ImapSession::State;

const QByteArray LoginFailed = "[AUTHENTICATIONFAILED] Invalid credentials";
const QByteArray LockedOut = "[UNAVAILABLE] Too many failed logins, try again later";
const QByteArray PrivacyRequired = "[PRIVACYREQUIRED] Encryption required (STARTTLS)";

// A password in clear only over TLS once we can offer it, except from our own networks: as
// SMTP takes one.
bool PlainRefused(Server& server, qint16 index)
{
    return !server.IsEncrypted(index) && server.TlsAvailable() && !Access::MayRelay(server.Config(), server.PeerAddress(index));
}

// The account's mailbox folder for a user name and password, "" for none.
QString HomeOf(const QString& user, const QString& password)
{
    const QString mailId = Access::AccountMailId(user, password, "Login");
    return mailId.isEmpty() ? QString() : MailStore::MailboxFolder(mailId);
}

// Checks the login when the client's address has waited its turn, and answers `tag`.
void LogIn(Turn& t, const QString& user, const QString& password)
{
    Server& server = t.server;
    ImapSession* s = &t.s;
    const qint16 index = t.index;
    const QByteArray tag = t.command.tag;
    const auto home = std::make_shared<QString>();
    Access::Attempt(server, index, [home, user, password] { *home = HomeOf(user, password); return !home->isEmpty(); },
        [&server, index, s, tag, home, user](Access::Verdict v) {
            if (v != Access::Verdict::Granted)
                return server.SendReply(index, tag + " NO " + (v == Access::Verdict::LockedOut ? LockedOut : LoginFailed));
            s->User = user;
            s->Home = *home;
            s->state = State::Authenticated;
            LoggedIn(*s);
            server.SendReply(index, tag + " OK [CAPABILITY " + Capabilities(server, index, *s) + "] Logged in");
        }, user);
}

void Login(Turn& t)
{
    const auto user = t.Text(0), password = t.Text(1);
    if (!user || !password || t.command.args.size() != 2)
        return t.Bad("LOGIN wants a user name and a password");
    if (PlainRefused(t.server, t.index))
        return t.No(PrivacyRequired);
    LogIn(t, QString::fromUtf8(*user), QString::fromUtf8(*password));
}

// A PLAIN response: authorization identity (none, or the user's own), user, password.
void AuthenticatePlain(Turn& t, const QByteArray& response)
{
    if (response == "*")
        return t.Bad("AUTHENTICATE cancelled");
    const auto decoded = QByteArray::fromBase64Encoding(response == "=" ? QByteArray() : response, QByteArray::AbortOnBase64DecodingErrors);
    const QList<QByteArray> parts = decoded.decoded.split('\0');
    if (!decoded || parts.size() != 3)
        return t.Bad("Malformed PLAIN response");
    if (!parts[0].isEmpty() && parts[0] != parts[1])
        return t.No(LoginFailed);
    LogIn(t, QString::fromUtf8(parts[1]), QString::fromUtf8(parts[2]));
}

void Authenticate(Turn& t)
{
    const auto mechanism = t.Text(0);
    if (!mechanism || t.command.args.size() > 2)
        return t.Bad("AUTHENTICATE wants a mechanism");
    if (mechanism->toUpper() != "PLAIN")
        return t.No("Unsupported authentication mechanism");
    if (PlainRefused(t.server, t.index))
        return t.No(PrivacyRequired);
    if (const auto initial = t.Text(1))
        return AuthenticatePlain(t, *initial);
    t.s.Waiting = t.command.tag;
    t.c.SetStep(int(ImapStep::Authenticate));
    t.server.SendReply(t.index, "+ ");
}

void StartTls(Turn& t)
{
    if (!t.server.TlsAvailable() || t.server.IsEncrypted(t.index))
        return t.Bad("STARTTLS not available");
    t.Ok("Begin TLS negotiation now");
    t.s.Reader.TakeRest();   // what came in clear behind it is dropped
    t.server.StartTls(t.index);
}

void Logout(Turn& t)
{
    t.Untagged("BYE Logging out");
    t.Ok("LOGOUT completed");
    t.s.state = State::Logout;
    t.c.SetStep(Closing);
}

void Enable(Turn& t)
{
    QByteArray enabled;
    for (const Arg& a : t.command.args) {
        if (a.IsAtom("CONDSTORE") && !t.s.CondStore)
            enabled += " CONDSTORE";
        if (a.IsAtom("UTF8=ACCEPT") && !std::exchange(t.s.Utf8, true))
            enabled += " UTF8=ACCEPT";
        if (a.IsAtom("IMAP4rev2") && !std::exchange(t.s.Rev2, true))
            enabled += " IMAP4rev2";
        if (a.IsAtom("QRESYNC") && !t.s.QResync)
            enabled += std::exchange(t.s.CondStore, true) ? " QRESYNC" : " CONDSTORE QRESYNC";
        t.s.CondStore = t.s.CondStore || a.IsAtom("CONDSTORE");
        t.s.QResync = t.s.QResync || a.IsAtom("QRESYNC");
    }
    if (t.command.args.empty())
        return t.Bad("ENABLE wants capabilities");
    t.Untagged("ENABLED" + enabled);
    t.Ok("ENABLE completed");
}

void Idle(Turn& t)
{
    t.s.Waiting = t.command.tag;
    t.c.SetStep(int(ImapStep::Idle));
    t.server.SendReply(t.index, "+ idling");
}

void Noop(Turn& t)
{
    t.Ok(t.command.name + " completed");
}

// The states a command is answered in.
enum : unsigned { Before = 1, After = 2, Selected = 4, Any = 7, Authenticated = After | Selected };

struct Verb {
    const char* name;
    unsigned states;
    void (*answer)(Turn&);
};
const Verb Verbs[] = {
    {"CAPABILITY", Any, [](Turn& t) { t.Untagged("CAPABILITY " + Capabilities(t.server, t.index, t.s)); t.Ok("CAPABILITY completed"); }},
    {"NOOP", Any, Noop},
    {"LOGOUT", Any, Logout},
    {"ID", Any, [](Turn& t) { t.Untagged("ID (\"name\" \"Tandrivel\")"); t.Ok("ID completed"); }},
    {"STARTTLS", Before, StartTls},
    {"LOGIN", Before, Login},
    {"AUTHENTICATE", Before, Authenticate},
    {"ENABLE", Authenticated, Enable},
    {"NAMESPACE", Authenticated, [](Turn& t) { t.Untagged("NAMESPACE ((\"\" \"/\")) NIL NIL"); t.Ok("NAMESPACE completed"); }},
    {"IDLE", Authenticated, Idle},
    {"SELECT", Authenticated, Select},
    {"EXAMINE", Authenticated, Select},
    {"CREATE", Authenticated, ChangeFolder},
    {"DELETE", Authenticated, ChangeFolder},
    {"RENAME", Authenticated, ChangeFolder},
    {"SUBSCRIBE", Authenticated, ChangeFolder},
    {"UNSUBSCRIBE", Authenticated, ChangeFolder},
    {"LIST", Authenticated, List},
    {"LSUB", Authenticated, List},
    {"STATUS", Authenticated, Status},
    {"APPEND", Authenticated, Append},
    {"CHECK", Selected, Noop},
    {"CLOSE", Selected, Close},
    {"UNSELECT", Selected, Close},
    {"EXPUNGE", Selected, Expunge},
    {"UID EXPUNGE", Selected, Expunge},
    {"SEARCH", Selected, Search},
    {"UID SEARCH", Selected, Search},
    {"FETCH", Selected, Fetch},
    {"UID FETCH", Selected, Fetch},
    {"STORE", Selected, Store},
    {"UID STORE", Selected, Store},
    {"COPY", Selected, CopyMove},
    {"UID COPY", Selected, CopyMove},
    {"MOVE", Selected, CopyMove},
    {"UID MOVE", Selected, CopyMove},
};

unsigned Bit(State state)
{
    switch (state) {
    case State::NotAuthenticated: return Before;
    case State::Authenticated: return After;
    case State::Selected: return Selected;
    case State::Logout: break;
    }
    return 0;
}

// Whether others' expunges may be told before this command: never before FETCH, STORE or
// SEARCH by sequence number, whose numbers the client may still be using.
bool ExpungesBefore(const QByteArray& name)
{
    return name != "FETCH" && name != "STORE" && name != "SEARCH";
}

void Answer(Turn& t)
{
    const auto verb = std::find_if(std::begin(Verbs), std::end(Verbs), [&](const Verb& v) { return t.command.name == v.name; });
    if (verb == std::end(Verbs))
        return t.Bad("Unknown command");
    if (!(verb->states & Bit(t.s.state)))
        return t.Bad("Command not valid in this state");
    if (t.s.state == State::Selected && verb->answer != Select && verb->answer != Close)
        Report(t.server, t.index, t.s, ExpungesBefore(t.command.name));
    verb->answer(t);
}

// The line IDLE or AUTHENTICATE waits for.
void Awaited(Server& server, qint16 index, Connecter& c, ImapSession& s, const QByteArray& line)
{
    const Command command{std::exchange(s.Waiting, {}), {}, {}};
    Turn t{server, index, c, s, command};
    const bool idle = c.Step() == int(ImapStep::Idle);
    c.SetStep(int(ImapStep::Commands));
    if (!idle)
        return AuthenticatePlain(t, line.trimmed());
    if (line.trimmed().compare("DONE", Qt::CaseInsensitive) != 0)
        return t.Bad("Expected DONE");
    t.Ok("IDLE terminated");
}

// The largest literal the memory budget has room for now.
qint64 LiteralLimit(Server& server)
{
    return std::min(MaxLiteral, Budget::Limit(server.Config().MemoryBudget) - Budget::Held());
}

// Answers the next command of the reader; false when there is none whole yet, or the
// connection is closing.
bool AnswerNext(Server& server, qint16 index, Connecter& c, ImapSession& s)
{
    if (c.Step() == int(ImapStep::Idle) || c.Step() == int(ImapStep::Authenticate)) {
        const auto line = s.Reader.NextLine();
        if (line)
            Awaited(server, index, c, s, *line);
        return line.has_value();
    }
    Command command;
    QByteArray tag, error;
    const auto outcome = s.Reader.Next(LiteralLimit(server), &command, &tag, &error);
    const QByteArray who = tag.isEmpty() ? QByteArray("*") : tag;
    switch (outcome) {
    case CommandReader::Outcome::More:
        c.SetStep(int(s.Reader.InLiteral() ? ImapStep::Literal : ImapStep::Commands));
        return false;
    case CommandReader::Outcome::Continue: server.SendReply(index, "+ Ready for literal"); break;
    case CommandReader::Outcome::Bad: server.SendReply(index, who + " BAD " + error); break;
    case CommandReader::Outcome::TooBig: server.SendReply(index, who + " NO [TOOBIG] " + error); break;
    case CommandReader::Outcome::Close:
        server.SendReply(index, "* BYE " + error);
        c.SetStep(Closing);
        return false;
    case CommandReader::Outcome::Command: {
        c.SetStep(int(ImapStep::Commands));
        Turn t{server, index, c, s, command};
        Answer(t);
        break;
    }
    }
    return true;
}

}

QByteArray Capabilities(Server& server, qint16 index, const ImapSession& s)
{
    QByteArray r = "IMAP4rev2 IMAP4rev1";
    if (s.state == ImapSession::State::NotAuthenticated) {
        if (server.TlsAvailable() && !server.IsEncrypted(index))
            r += " STARTTLS";
        r += PlainRefused(server, index) ? " LOGINDISABLED" : " AUTH=PLAIN SASL-IR";
    }
    return r + " LITERAL+ ENABLE IDLE NAMESPACE ID UIDPLUS MOVE UNSELECT CHILDREN SPECIAL-USE LIST-EXTENDED LIST-STATUS"
               " ESEARCH SEARCHRES CONDSTORE QRESYNC BINARY UTF8=ACCEPT";
}

}

void ImapCommand(Server& server, qint16 index, const QByteArray& text)
{
    const auto [c, s] = PartOf<ImapSession>(server, index, "IMAP text");
    if (!s)
        return;
    // Commands are answered in order; while an answer waits (a delayed login), the rest waits
    // in the receive buffer. Nothing is read after LOGOUT or STARTTLS.
    c->Command.clear();
    s->Reader.Add(text);
    while (c->Step() != Closing && server.Session(index) == c) {
        if (server.Waiting(index)) {
            c->Command = s->Reader.TakeRest();
            return;
        }
        if (!Imap::AnswerNext(server, index, *c, *s))
            break;
    }
}

Service ImapService()
{
    Service service;
    service.command = ImapCommand;
    service.accept = [](Server& server, qint16 index) {
        auto part = std::make_unique<ImapSession>();
        const ImapSession& s = *part;
        server.AddSession(index, std::make_unique<Connecter>(std::move(part), int(ImapStep::Commands)));
        server.SendReply(index, "* OK [CAPABILITY " + Imap::Capabilities(server, index, s) + "] " + server.LocalHostName(index) + " IMAP4rev2 ready");
    };
    service.refuse = [](Refusal why) {
        return QByteArray(why == Refusal::TooManyFromAddress ? "* BYE Too many connections" : "* BYE System busy, try again later");
    };
    return service;
}
