#include "relay/RelayReply.h"
#include "core/Connecter.h"
#include "core/Server.h"

void RelayReply(Server& server, qint16 index, const QByteArray& text)
{
    Connecter* c = server.Session(index);
    if (!c) {
        server.Log(QByteArray::number(index) + "-Ignored: no session for relay reply");
        return;
    }
    c->Command.clear();
    const QByteArray code = text.left(4).toUpper();
    auto fail = [&] {
        c->SetStep(RelayQuitSent);
        server.SendReply(index, "QUIT ");
    };
    auto mailLine = [&] {
        return "MAIL FROM:<" + c->From + "> SIZE=" + QByteArray::number(c->Message.size());
    };
    switch (c->Step()) {
    case RelayConnecting:
        if (code == "220 ") {
            c->SetStep(RelayEhloSent);
            server.SendReply(index, "EHLO " + server.LocalHostName(index));
        } else {
            fail();
        }
        break;
    case RelayEhloSent:
        if (code == "250-") {
            // A reply in several pieces: go on once its last line ("250 ") has come.
            if (text.contains("250 ")) {
                c->SetStep(RelayMailSent);
                server.SendReply(index, mailLine());
            }
        } else if (code == "250 ") {
            c->SetStep(RelayMailSent);
            server.SendReply(index, mailLine());
        } else {
            fail();
        }
        break;
    case RelayMailSent:
        if (code == "250 ") {
            c->SetStep(RelayRcptSent);
            server.SendReply(index, "RCPT TO:<" + c->Address.value(0) + ">");
        } else {
            fail();
        }
        break;
    case RelayRcptSent:
        if (code == "250 ") {
            c->SetStep(RelayDataSent);
            server.SendReply(index, "DATA");
        } else {
            fail();
        }
        break;
    case RelayDataSent:
        if (code == "354 ") {
            c->SetStep(RelayTextSent);
            server.SendReply(index, c->Message);
            server.SendReply(index, ".");
        } else {
            fail();
        }
        break;
    case RelayTextSent:
        c->SetStep(RelayQuitSent);
        server.SendReply(index, "QUIT ");
        break;
    case RelayQuitSent:
        if (code == "221 ")
            server.Release(index);
        else
            server.SendReply(index, "QUIT ");
        break;
    default:
        server.SendReply(index, "500 Syntax error");
        server.Release(index);
        break;
    }
}
