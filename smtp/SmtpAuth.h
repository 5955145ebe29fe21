#pragma once
#include <QByteArray>

class Server;
class SmtpSession;

// SMTP AUTH with PLAIN, LOGIN and CRAM-MD5 against Users.txt. `line` is the AUTH command,
// or, while an exchange is under way (SmtpSession::Auth), the client's next line.
void SmtpAuth(Server& server, qint16 index, SmtpSession& s, const QByteArray& line);
