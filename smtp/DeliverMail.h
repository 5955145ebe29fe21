#pragma once
#include <QByteArray>

class Server;

// At QUIT: every finished message of the connection goes into the mailbox of each local
// recipient and onto one relay connection per foreign recipient.
void DeliverMail(Server& server, qint16 index);
