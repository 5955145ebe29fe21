#include "pop3/Pop3Command.h"
#include "core/Connecter.h"
#include "core/Failure.h"
#include "core/Server.h"
#include "core/TextHelper.h"

namespace {
const QByteArray NotSupported = QByteArrayLiteral("-ERR \xE5\xAF\xBE\xE5\xBF\x9C\xE3\x81\x97\xE3\x81\xA6\xE3\x81\xBE\xE3\x81\x9B\xE3\x82\x93\xE3\x80\x82");  // 対応してません。

QString Argument(const QByteArray& text)
{
    return QString::fromUtf8(TextHelper::TextBetween(text, " ", "\r\n"));
}
}

void Pop3Command(Server& server, qint16 index, const QByteArray& text)
{
    Connecter* c = server.Session(index);
    if (!c) {
        server.Log(QByteArray::number(index) + "-Ignored: no session for POP3 text");
        return;
    }
    // Only the first command of a buffer is answered; the buffer starts afresh.
    c->Command.clear();
    const QByteArray word = text.left(4).toUpper();
    QByteArray reply;
    try {
        if (word == "USER") {
            c->SetUserName(Argument(text));
            reply = "+OK all respons OK";
        } else if (word == "PASS") {
            c->SetPassword(Argument(text));
            reply = "+OK all respons OK";
        } else if (word == "STAT") {
            reply = c->GetSTAT();
        } else if (word == "LIST") {
            reply = c->GetLIST(text);
        } else if (word == "RETR") {
            reply = c->GetRETR(text);
        } else if (word == "DELE") {
            reply = c->GetDELE(text);
        } else if (word == "NOOP") {
            reply = "+OK ";
        } else if (word == "RSET") {
            reply = c->GetRSET();
        } else if (word == "QUIT") {
            server.SendReply(index, "+OK Merivolant POP3 Closed");
            c->SetStep(Closing);
            return;
        } else if (word == "TOP ") {
            reply = c->GetTOP(text);
        } else if (word == "CAPA") {
            reply = "+OK\r\nUSER\r\nUIDL\r\nTOP\r\n.";
        } else if (word == "APOP" || word == "AUTH" || word == "LAST") {
            reply = NotSupported;
        } else if (word == "UIDL") {
            reply = c->GetUIDL(text);
        } else {
            reply = "-ERR command error";
        }
    } catch (const Failure& f) {
        // USER or PASS without an argument
        reply = "-ERR " + f.text();
    }
    server.SendReply(index, reply);
}
