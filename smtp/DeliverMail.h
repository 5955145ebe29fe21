#pragma once
#include <QByteArray>
#include <functional>

class Server;

// At QUIT: every finished message of the connection goes into the mailbox of each local
// recipient and onto one relay connection per foreign recipient. `then` runs once every
// file is on disk.
void DeliverMail(Server& server, qint16 index, std::function<void()> then = {});
