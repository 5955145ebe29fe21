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
        c->SetStep(13);
        server.SendReply(index, "QUIT ");
    };
    auto mailLine = [&] {
        return "MAIL FROM:<" + c->From + "> SIZE=" + QByteArray::number(c->Message.size());
    };
    switch (c->Step()) {
    case 7:
        if (code == "220 ") {
            c->SetStep(8);
            server.SendReply(index, "EHLO " + server.LocalHostName(index));
        } else {
            fail();
        }
        break;
    case 8:
        if (code == "250-") {
            // A reply in several pieces: go on once its last line ("250 ") has come.
            if (text.contains("250 ")) {
                c->SetStep(9);
                server.SendReply(index, mailLine());
            }
        } else if (code == "250 ") {
            c->SetStep(9);
            server.SendReply(index, mailLine());
        } else {
            fail();
        }
        break;
    case 9:
        if (code == "250 ") {
            c->SetStep(10);
            server.SendReply(index, "RCPT TO:<" + c->Address.value(0) + ">");
        } else {
            fail();
        }
        break;
    case 10:
        if (code == "250 ") {
            c->SetStep(11);
            server.SendReply(index, "DATA");
        } else {
            fail();
        }
        break;
    case 11:
        if (code == "354 ") {
            c->SetStep(12);
            server.SendReply(index, c->Message);
            server.SendReply(index, ".");
        } else {
            fail();
        }
        break;
    case 12:
        c->SetStep(13);
        server.SendReply(index, "QUIT ");
        break;
    case 13:
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
