// What the connection manager asks of an IMAP session: its time-outs and what the log may show.
#include "imap/ImapSession.h"
#include "core/Server.h"
#include "core/TextHelper.h"

namespace {

// The command word of an IMAP line (after its tag), in upper case.
QByteArray CommandWord(QByteArrayView line)
{
    const QList<QByteArray> words = line.toByteArray().simplified().split(' ');
    return words.value(1).toUpper();
}

bool Secret(QByteArrayView line)
{
    const QByteArray word = CommandWord(line);
    return word == "LOGIN" || word == "AUTHENTICATE";
}

bool AnnouncesLiteral(QByteArrayView line) { return line.trimmed().endsWith('}'); }

}

void ImapSession::Deselect()
{
    Watching.reset();
    Box.reset();
    Uids.clear();
    ShownFlags.clear();
    Looked = ExpungesLooked = 0;
    state = State::Authenticated;
}

int ImapSession::IdleSeconds(int, const Settings&) const
{
    return state == State::NotAuthenticated ? ImapLoginSeconds : ImapIdleSeconds;
}

void ImapSession::TimedOut(Server& server, qint16 index, qint64)
{
    server.SendReply(index, "* BYE Autologout; idle for too long");
    if (Connecter* c = server.Session(index))
        c->SetStep(Closing);
}

// No password reaches the log: LOGIN keeps its user name, AUTHENTICATE its mechanism; the
// literals after either, and the response AUTHENTICATE waits for, are hidden whole.
QByteArray ImapSession::Masked(const QByteArray& buffer, int step) const
{
    const QByteArrayView pending = Reader.Pending();
    bool hide = step == int(ImapStep::Authenticate) || (!pending.isEmpty() && Secret(pending));
    return TextHelper::ReplaceLines(buffer, [&hide](QByteArrayView line) {
        if (hide) {
            hide = AnnouncesLiteral(line);
            return "********" + TextHelper::LineEnd(line);
        }
        if (!Secret(line))
            return QByteArray();
        // AUTHENTICATE without its response gets it on the next line.
        hide = AnnouncesLiteral(line) || (CommandWord(line) == "AUTHENTICATE" && line.toByteArray().simplified().count(' ') < 3);
        return TextHelper::KeepWords(line, 3);
    });
}
