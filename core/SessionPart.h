#pragma once
#include "core/Connecter.h"
#include "core/Server.h"

#include <utility>

// The session on `index` and its protocol part P, for a handler about to take its text. Both
// are null when there is none (the connection ended while its text waited): the log says
// index "-Ignored: no session for " `what`.
template <class P>
std::pair<Connecter*, P*> PartOf(Server& server, qint16 index, const char* what)
{
    Connecter* c = server.Session(index);
    P* part = c ? c->As<P>() : nullptr;
    if (!part) {
        server.Log(QByteArray::number(index) + "-Ignored: no session for " + what);
        return {nullptr, nullptr};
    }
    return {c, part};
}
