#pragma once
#include "core/Server.h"

class SmtpPolicy;

#include <QByteArray>

// Answers one completed receive buffer of an inbound SMTP connection. Lines are taken
// in order, each command gets its own reply; after DATA the text is message text until
// the line ".", which delivers the message before it is acknowledged.
void SmtpCommand(const SmtpPolicy& policy, Server& server, qint16 index, const QByteArray& text);

// The SMTP service: its handler, the greeting and session of a new connection, and the
// texts that turn one away. `policy` outlives it.
Service SmtpService(const SmtpPolicy& policy);
