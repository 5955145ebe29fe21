#pragma once
#include "core/Server.h"

#include <QByteArray>

// Answers one completed receive buffer of a POP3 connection.
void Pop3Command(Server& server, qint16 index, const QByteArray& text);

// The POP3 service: its handler, the greeting and session of a new connection, and the
// texts that turn one away.
Service Pop3Service();
