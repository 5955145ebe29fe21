#pragma once
#include <QByteArray>

class Server;

// Largest message we take.
inline constexpr qsizetype MaxMessageSize = qsizetype(256) << 20;
// Longest command line, CR LF included, and longest address.
inline constexpr qsizetype MaxCommandLine = 512;
inline constexpr qsizetype MaxAddress = 256;
// A message that has passed more relays than this is in a loop.
inline constexpr int MaxHops = 30;

// Answers one completed receive buffer of an inbound SMTP connection. Lines are taken
// in order, each command gets its own reply; after DATA the text is message text until
// the line ".", which stores the message before it is acknowledged.
void SmtpCommand(Server& server, qint16 index, const QByteArray& text);
