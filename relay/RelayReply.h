#pragma once
#include <QByteArray>

class Server;

// Drives one outbound relay connection: each completed reply of the remote server
// moves the fixed dialogue EHLO, MAIL, RCPT, DATA, message, QUIT one step on. The reply
// that settles the copy (a refusal, or the one to the end of data) goes to Relay.Done.
void RelayReply(Server& server, qint16 index, const QByteArray& text);
