#include "core/Server.h"
#include "core/Connecter.h"

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
        const bool partial = c->Part() && c->Part()->TakesPartialLines(c->Step());
        const qsizetype cut = partial ? c->Command.lastIndexOf("\r\n") : -1;
        if (cut < 0) {
            if (c->Command.size() > (partial ? MaxBuffer : MaxLineBuffer)) {
                server.Log(n + "-Overflow: " + QByteArray::number(c->Command.size()) + " bytes without CR LF; connection closed");
                server.Release(index);
            }
            return false;
        }
        rest = c->Command.mid(cut + 2);
        c->Command.truncate(cut + 2);
    }
    server.LogReceived(index, c->Part() ? c->Part()->Masked(c->Command, c->Step()) : c->Command);
    // The handler may empty or replace the buffer while it works.
    const QByteArray text = c->Command;
    if (handler)
        handler(server, index, text);
    if (!rest.isEmpty())
        if (Connecter* still = server.Session(index))
            still->Command = rest + still->Command;
    return true;
}
