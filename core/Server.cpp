#include "core/Server.h"
#include "core/Connecter.h"

namespace {
// A receive buffer as the log may keep it: no password of PASS or AUTH, and no line that
// answers an AUTH exchange, is written anywhere.
QByteArray Masked(const QByteArray& buffer, const Connecter& c)
{
    if (c.Step() == SmtpText || buffer.size() > 4096)
        return buffer;   // message text, not commands
    QByteArray out;
    bool secret = !c.Smtp.Auth.isEmpty();
    bool changed = secret;
    for (qsizetype pos = 0; pos < buffer.size();) {
        qsizetype eol = buffer.indexOf("\r\n", pos);
        eol = eol < 0 ? buffer.size() : eol + 2;
        QByteArray line = buffer.mid(pos, eol - pos);
        const QByteArray upper = line.left(5).toUpper();
        const QList<QByteArray> words = line.simplified().split(' ');
        if (secret) {
            line = "********\r\n";
        } else if (upper == "PASS ") {
            line = line.left(5) + "********\r\n";
            changed = true;
        } else if (upper == "AUTH " && words.size() > 2) {
            line = words[0] + ' ' + words[1] + " ********\r\n";
            changed = true;
        }
        secret = upper == "AUTH " && words.size() == 2;   // the next line answers it
        out += line;
        pos = eol;
    }
    return changed ? out : buffer;
}
}

bool Gather(Server& server, qint16 index, const QByteArray& chunk, const CommandHandler& handler)
{
    const QByteArray n = QByteArray::number(index);
    Connecter* c = server.Session(index);
    if (!c) {
        server.Log(n + "-Ignored: " + QByteArray::number(chunk.size()) + " bytes for a connection without a session");
        return false;
    }
    c->Command += chunk;
    QByteArray rest;
    if (!c->Command.endsWith("\r\n")) {
        // Message text goes on line by line as it comes: held until a read happens to end a
        // line, megabytes of it would wait here beside the message.
        const qsizetype cut = c->Step() == SmtpText ? c->Command.lastIndexOf("\r\n") : -1;
        if (cut < 0) {
            if (c->Command.size() > (c->Step() == SmtpText ? MaxBuffer : MaxLineBuffer)) {
                server.Log(n + "-Overflow: " + QByteArray::number(c->Command.size()) + " bytes without CR LF; connection closed");
                server.Release(index);
            }
            return false;
        }
        rest = c->Command.mid(cut + 2);
        c->Command.truncate(cut + 2);
    }
    server.LogReceived(index, Masked(c->Command, *c));
    // The handler may empty or replace the buffer while it works.
    const QByteArray text = c->Command;
    if (handler)
        handler(server, index, text);
    if (!rest.isEmpty())
        if (Connecter* still = server.Session(index))
            still->Command = rest + still->Command;
    return true;
}
