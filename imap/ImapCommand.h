#pragma once
#include "core/Server.h"

#include <QByteArray>

// Answers the received text of an IMAP connection: whole commands, literals and all.
void ImapCommand(Server& server, qint16 index, const QByteArray& text);

// The IMAP service: its handler, the greeting and session of a new connection, and the
// texts that turn one away.
Service ImapService();
