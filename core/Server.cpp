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
    if (!c->Command.endsWith("\r\n")) {
        if (c->Command.size() > MaxBuffer) {
            server.Log(n + "-Overflow: " + QByteArray::number(c->Command.size()) + " bytes without CR LF; connection closed");
            server.Release(index);
        }
        return false;
    }
    server.LogReceived(index, c->Command);
    // The handler may empty or replace the buffer while it works.
    const QByteArray text = c->Command;
    if (handler)
        handler(server, index, text);
    return true;
}
