#pragma once
#include <QByteArray>

class Server;

// Answers one completed receive buffer of a POP3 connection.
void Pop3Command(Server& server, qint16 index, const QByteArray& text);
