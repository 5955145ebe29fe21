#pragma once
#include "core/Server.h"

#include <QByteArray>

// Drives one outbound relay connection: each completed reply of the remote server
// moves the fixed dialogue EHLO, MAIL, RCPT, DATA, message, QUIT one step on. The reply
// that decides the copy (a refusal, or the one to the end of data) goes to Done.
void RelayReply(Server& server, qint16 index, const QByteArray& text);

// An Idle relay host connection takes the next copy the queue has for it (asked through
// Next): RSET, and the dialogue goes on. False when it is not Idle or nothing was waiting.
bool RelayResume(Server& server, qint16 index);

// The relay client's service: the handler of its own connections' replies.
Service RelayService();
