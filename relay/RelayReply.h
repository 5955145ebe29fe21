#pragma once
#include "core/Server.h"

#include <QByteArray>

// Drives one outbound relay connection: each completed reply of the remote server
// moves the fixed dialogue EHLO, MAIL, RCPT, DATA, message, QUIT one step on. The reply
// that decides the copy (a refusal, or the one to the end of data) goes to Done.
void RelayReply(Server& server, qint16 index, const QByteArray& text);

// The relay client's service: the handler of its own connections' replies.
Service RelayService();
