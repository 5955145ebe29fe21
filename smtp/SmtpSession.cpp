#include "smtp/SmtpSession.h"
#include "core/Failure.h"
#include "core/Server.h"
#include "core/TextHelper.h"
#include "core/mdlCommon.h"
#include "store/Recipient.h"

QByteArray SmtpSession::GetMAIL(const QByteArray& data)
{
    try {
        const QByteArray address = TextHelper::TextBetween(data, "<", ">");
        if (BadAddress(address))
            return "501 5.1.3 Bad address syntax";
        From = address;
        // Room for the whole text at once: grown step by step it is copied each time, and the
        // memory of the copies stays with the process.
        const qsizetype size = data.toUpper().indexOf(" SIZE=");
        DeclaredSize = size < 0 ? 0 : data.mid(size + 6).split(' ').first().trimmed().toLongLong();
        // A message we would refuse at its end is refused before it is sent (RFC 1870).
        if (DeclaredSize > MaxMessageSize) {
            From.clear();
            DeclaredSize = 0;
            return "552 5.3.4 Message size exceeds fixed maximum message size";
        }
        return "250 OK";
    } catch (const Failure& f) {
        return "500 Syntax error;" + f.text();
    }
}

QByteArray SmtpSession::GetRCPT(const QByteArray& data)
{
    try {
        const QByteArray address = TextHelper::TextBetween(data, "<", ">");
        if (BadAddress(address))
            return "501 5.1.3 Bad address syntax";
        Recipients << address;
        return "250 OK";
    } catch (const Failure& f) {
        return "500 Syntax error;" + f.text();
    }
}

void SmtpSession::DropTransaction()
{
    Recipients.clear();
    Text.clear();
    RcptCommands = 0;
    SenderRefused = false;
}

int SmtpSession::IdleSeconds(int) const { return Delivering ? 0 : mdlCommon::SmtpTimeout; }

// The whole text, from DATA to the final line, within SmtpDataTimeout (RFC 5321 4.5.3.2).
int SmtpSession::StepSeconds(int step) const { return step == int(SmtpStep::Text) ? mdlCommon::SmtpDataTimeout : 0; }

void SmtpSession::TimedOut(Server& server, qint16 index, qint64)
{
    if (Connecter* c = server.Session(index))
        c->SetStep(Closing);
    server.SendReply(index, "421 4.4.2 Timeout");
}

void SmtpSession::Stepping(int, int to)
{
    if (to == int(SmtpStep::Text)) {
        Text.clear();
        TextScanned = 0;
        Oversized = false;
        OverBudget = false;
    }
}

// No password or AUTH answer reaches the log, however it is spelt or packed: the buffer's
// lines are read as the dialogue will read them, an AUTH exchange under way included.
QByteArray SmtpSession::Masked(const QByteArray& buffer, int step) const
{
    if (step == int(SmtpStep::Text) || buffer.size() > 4096)
        return buffer;   // message text, not commands
    // Answers still owed to an AUTH exchange: LOGIN asks for a name, then a password.
    int owed = Auth.isEmpty() ? 0 : Auth == "LOGIN" && AuthUser.isNull() ? 2 : 1;
    bool changed = false;
    QByteArray out;
    for (qsizetype pos = 0; pos < buffer.size();) {
        qsizetype eol = buffer.indexOf('\n', pos);
        eol = eol < 0 ? buffer.size() : eol + 1;
        QByteArray line = buffer.mid(pos, eol - pos);
        pos = eol;
        const QByteArray end = line.endsWith("\r\n") ? "\r\n" : line.endsWith('\n') ? "\n" : "";
        const QList<QByteArray> words = line.simplified().split(' ');
        const QByteArray verb = words.value(0).toUpper();
        if (owed > 0) {
            owed = words.value(0) == "*" ? 0 : owed - 1;
            line = "********" + end;
            changed = true;
        } else if (verb == "AUTH") {
            const QByteArray mechanism = words.value(1).toUpper();
            const bool login = mechanism == "LOGIN" || mechanism == "LONGIN";
            owed = words.size() > 2 ? (login ? 1 : 0) : (login ? 2 : 1);
            if (words.size() > 2) {
                line = words[0] + ' ' + words[1] + " ********" + end;
                changed = true;
            }
        } else if (verb == "PASS" && words.size() > 1) {
            line = line.left(line.indexOf(words[0]) + 4) + " ********" + end;
            changed = true;
        }
        out += line;
    }
    return changed ? out : buffer;
}
