#include "pop3/Pop3Command.h"
#include "core/Access.h"
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

// USER and PASS answer alike either way; an address that keeps failing waits longer.
void LoginReply(Server& server, qint16 index, const Connecter& c)
{
    const QByteArray reply = "+OK all respons OK";
    if (c.UserName().isEmpty() || c.Password().isEmpty())
        server.SendReply(index, reply);
    else
        Access::AnswerLogin(server, index, reply, !c.MailID().isEmpty());
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
        if (word == "USER" || word == "PASS") {
            const QString argument = Argument(text);
            if (word == "USER")
                c->SetUserName(argument);
            else
                c->SetPassword(argument);
            LoginReply(server, index, *c);
            return;
        } else if (word == "STLS" && server.TlsAvailable() && !server.IsEncrypted(index)) {
            if (!c->MailID().isEmpty()) {
                reply = "-ERR STLS only before login";
            } else {
                server.SendReply(index, "+OK Begin TLS negotiation");
                server.StartTls(index);
                return;
            }
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
            reply = QByteArray("+OK\r\n") + (server.TlsAvailable() && !server.IsEncrypted(index) ? "STLS\r\n" : "") + "USER\r\nUIDL\r\nTOP\r\n.";
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
    server.SendReplyTaken(index, std::move(reply));
}
