#include "relay/RelayReply.h"
#include "core/Connecter.h"
#include "core/Server.h"

namespace {
// What goes out before the end-of-data line, less its last CR LF.
qsizetype TextSize(const Connecter& c)
{
    return c.Relay.Head.size() + c.Message.size() - (c.Message.endsWith("\r\n") ? 2 : 0);
}
}

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
        c->Settle(text);
        c->SetStep(RelayQuitSent);
        server.SendReply(index, "QUIT ");
    };
    auto mail = [&] {
        if (!server.IsEncrypted(index))
            server.Log(QByteArray::number(index) + "-TLS none: " + (c->Relay.TlsOffered ? "the exchanger refused STARTTLS" : "the exchanger offers no STARTTLS"));
        c->SetStep(RelayMailSent);
        server.SendReply(index, "MAIL FROM:<" + c->From + "> SIZE=" + QByteArray::number(TextSize(*c)));
    };
    // After the EHLO reply: TLS first when the exchanger offers it and we have not yet.
    auto afterEhlo = [&] {
        if (!c->Relay.TlsOffered || server.IsEncrypted(index))
            return mail();
        c->SetStep(RelayTlsSent);
        server.SendReply(index, "STARTTLS");
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
        if (code == "250-" || code == "250 ") {
            for (const QByteArray& line : text.split('\n'))
                if (line.mid(4).trimmed().toUpper() == "STARTTLS")
                    c->Relay.TlsOffered = true;
            // A reply in several pieces: go on once its last line ("250 ") has come.
            if (code == "250 " || text.contains("250 "))
                afterEhlo();
        } else {
            fail();
        }
        break;
    case RelayTlsSent:
        if (code == "220 ") {
            const quint64 serial = c->Serial;
            server.StartTls(index, [&server, index, serial] {
                Connecter* s = server.Session(index);
                if (!s || s->Serial != serial)
                    return;
                // The session starts over inside TLS.
                s->SetStep(RelayEhloSent);
                server.SendReply(index, "EHLO " + server.LocalHostName(index));
            });
        } else {
            mail();
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
            // The trace line, then the text without its last line end, which SendReply adds.
            QByteArray text = c->Relay.Head;
            text.append(c->Message.constData(), TextSize(*c) - c->Relay.Head.size());
            server.SendReply(index, text);
            server.SendReply(index, ".");
        } else {
            fail();
        }
        break;
    case RelayTextSent:
        c->Settle(text);   // 250: delivered; anything else: refused or to be tried again
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
