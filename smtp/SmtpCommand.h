#pragma once
#include <QByteArray>

class Server;

// Largest message we hold in memory for one transaction.
inline constexpr qsizetype MaxMessageSize = qsizetype(256) << 20;
// Most that recipients and finished messages may hold of one connection until QUIT; each
// recipient and message also counts HeldEntryCost for what keeping it costs. Past it a
// message is refused ("552 Message too large") and a recipient closes the connection.
inline constexpr qsizetype MaxHeld = MaxMessageSize + (qsizetype(1) << 20);
inline constexpr qsizetype HeldEntryCost = 256;

// Answers one completed receive buffer of an inbound SMTP connection. Lines are taken
// in order, each command gets its own reply; after DATA the text is message text until
// the line ".".
void SmtpCommand(Server& server, qint16 index, const QByteArray& text);
