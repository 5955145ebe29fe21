#pragma once
#include <QByteArray>

class Server;

// Largest message we hold in memory for one transaction.
inline constexpr qsizetype MaxMessageSize = qsizetype(256) << 20;

// Answers one completed receive buffer of an inbound SMTP connection. Lines are taken
// in order, each command gets its own reply; after DATA the text is message text until
// the line ".".
void SmtpCommand(Server& server, qint16 index, const QByteArray& text);
