#pragma once
#include <QByteArray>

class Connecter;
class Server;

// SMTP AUTH with PLAIN, LOGIN and CRAM-MD5 against Users.txt. `line` is the AUTH command,
// or, while an exchange is under way (Connecter::Smtp.Auth), the client's next line.
void SmtpAuth(Server& server, qint16 index, Connecter& c, const QByteArray& line);
