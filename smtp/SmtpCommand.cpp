#include "smtp/SmtpCommand.h"
#include "core/Connecter.h"
#include "core/Failure.h"
#include "core/Server.h"
#include "core/TextHelper.h"
#include "smtp/DeliverMail.h"

QByteArray Connecter::GetMAIL(const QByteArray& data)
{
    try {
        From = TextHelper::TextBetween(data, "<", ">");
        return "250 OK";
    } catch (const Failure& f) {
        return "500 Syntax error;" + f.text();
    }
}

QByteArray Connecter::GetRCPT(const QByteArray& data)
{
    try {
        Address << TextHelper::TextBetween(data, "<", ">");
        Held += Address.last().size() + HeldEntryCost;
        return "250 OK";
    } catch (const Failure& f) {
        return "500 Syntax error;" + f.text();
    }
}

namespace {

QByteArray EhloReply(const QByteArray& host)
{
    return "250-" + host + "\r\n"
           "250-VRFY\r\n"
           "250-ETRN\r\n"
           "250-8BITMIME\r\n"
           "250-PIPELINING\r\n"
           "250-AUTH LONGIN PLAIN CRAM-MD5\r\n"
           "250 SIZE";
}

// Adds message text from text[pos..]. Returns the position in `text` just after the
// end-of-data line, or -1 when the message goes on.
qsizetype TakeMessageText(Connecter& c, const QByteArray& text, qsizetype pos)
{
    const qsizetype before = c.Message.size();
    c.Message.append(text.constData() + pos, text.size() - pos);
    qsizetype lineStart = -1;   // where the line "." starts
    if (c.MessageScanned == 0 && c.Message.startsWith(".\r\n")) {
        lineStart = 0;
    } else {
        // Message always ended with CR LF before this text, so the line "." can start at
        // the first new byte: search from the CR LF before it.
        const qsizetype from = std::max<qsizetype>(0, std::min(c.MessageScanned, before) - 2);
        const qsizetype at = c.Message.indexOf("\r\n.\r\n", from);
        if (at >= 0) lineStart = at + 2;
    }
    if (lineStart < 0) {
        if (c.Message.size() > MaxMessageSize) {
            // Keep only the tail the end-of-data search needs.
            c.Oversized = true;
            c.Message = c.Message.right(2);
        }
        c.MessageScanned = c.Message.size();
        return -1;
    }
    const qsizetype endInMessage = lineStart + 3;
    c.Message.truncate(lineStart);   // the lines as received, without the "." line
    c.MessageScanned = 0;
    return pos + (endInMessage - before);
}

void CommandLine(Server& server, qint16 index, Connecter& c, const QByteArray& line)
{
    const QByteArray word = line.left(4).toUpper();
    if (word == "HELO") {
        c.SetStep(SmtpAfterHelo);
        server.SendReply(index, "250 " + server.LocalHostName(index));
    } else if (word == "EHLO") {
        c.SetStep(SmtpAfterEhlo);
        server.SendReply(index, EhloReply(server.LocalHostName(index)));
    } else if (word == "MAIL") {
        server.SendReply(index, c.GetMAIL(line));
    } else if (word == "RCPT") {
        server.SendReply(index, c.GetRCPT(line));
    } else if (word == "DATA") {
        c.SetStep(SmtpText);
        server.SendReply(index, "354 Start mail input; end with <CRLF>.<CRLF>");
    } else if (word == "QUIT") {
        // The goodbye goes out once every file is on disk; until then input is ignored.
        c.Delivering = true;
        const quint64 serial = c.Serial;
        DeliverMail(server, index, [&server, index, serial] {
            Connecter* s = server.Session(index);
            if (!s || s->Serial != serial)
                return;   // the client left meanwhile; its mail is stored all the same
            s->Delivering = false;
            s->SetStep(Closing);
            server.SendReply(index, "221 Merivolant ESMTP Closed");
        });
    } else {
        server.SendReply(index, "500 Syntax error");
    }
}

}

void SmtpCommand(Server& server, qint16 index, const QByteArray& text)
{
    Connecter* c = server.Session(index);
    if (!c) {
        server.Log(QByteArray::number(index) + "-Ignored: no session for SMTP text");
        return;
    }
    c->Command.clear();
    qsizetype pos = 0;
    while (pos < text.size() && c->Step() != Closing && !c->Delivering) {
        if (c->Step() == SmtpText) {
            const qsizetype end = TakeMessageText(*c, text, pos);
            if (end < 0)
                return;
            const bool heldTooMuch = !c->Oversized && c->Held + c->Message.size() + HeldEntryCost > MaxHeld;
            if (c->Oversized || heldTooMuch) {
                server.Log(QByteArray::number(index) + (heldTooMuch ? "-Refused: messages before QUIT over " : "-Refused: message over ")
                           + QByteArray::number(heldTooMuch ? MaxHeld : MaxMessageSize) + " bytes");
                c->Message.clear();
                for (const QByteArray& a : std::as_const(c->Address))
                    c->Held -= a.size() + HeldEntryCost;
                c->Address.clear();
                c->SetStep(SmtpCommands);
                server.SendReply(index, "552 Message too large");
                pos = end;
                continue;
            }
            // One finished message with its own envelope; the next one starts empty.
            c->Finished << Connecter::Transaction{c->From, c->Address, c->Message};
            c->Held += c->Message.size() + HeldEntryCost;
            c->Address.clear();
            c->SetStep(SmtpCommands);
            server.SendReply(index, "250 OK <SB>");
            pos = end;
            continue;
        }
        qsizetype eol = text.indexOf("\r\n", pos);
        eol = eol < 0 ? text.size() : eol + 2;
        CommandLine(server, index, *c, text.mid(pos, eol - pos));
        pos = eol;
        if (c->Held > MaxHeld) {
            // Recipients without end: there is no reply for that, so the connection goes.
            server.Log(QByteArray::number(index) + "-Overflow: recipients before QUIT over " + QByteArray::number(MaxHeld)
                       + " bytes; connection closed");
            server.Release(index);
            return;
        }
    }
}
