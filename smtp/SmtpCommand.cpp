#include "smtp/SmtpCommand.h"
#include "core/Connecter.h"
#include "core/Failure.h"
#include "core/Server.h"
#include "core/TextHelper.h"
#include "core/Access.h"
#include "core/Budget.h"
#include "core/mdlCommon.h"
#include "smtp/DeliverMail.h"
#include "smtp/SmtpAuth.h"
#include "relay/Queue.h"

namespace {
// An address that could smuggle a line or a second envelope into our own replies, files or
// relay dialogues: control characters, or longer than any real one.
bool BadAddress(const QByteArray& address)
{
    if (address.size() > MaxAddress)
        return true;
    for (const char ch : address)
        if (uchar(ch) < 0x20 || uchar(ch) == 0x7f)
            return true;
    return false;
}
}

QByteArray Connecter::GetMAIL(const QByteArray& data)
{
    try {
        const QByteArray address = TextHelper::TextBetween(data, "<", ">");
        if (BadAddress(address))
            return "501 5.1.3 Bad address syntax";
        From = address;
        // Room for the whole text at once: grown step by step it is copied each time, and the
        // memory of the copies stays with the process.
        const qsizetype size = data.toUpper().indexOf(" SIZE=");
        Smtp.DeclaredSize = size < 0 ? 0 : data.mid(size + 6).split(' ').first().trimmed().toLongLong();
        return "250 OK";
    } catch (const Failure& f) {
        return "500 Syntax error;" + f.text();
    }
}

QByteArray Connecter::GetRCPT(const QByteArray& data)
{
    try {
        const QByteArray address = TextHelper::TextBetween(data, "<", ">");
        if (BadAddress(address))
            return "501 5.1.3 Bad address syntax";
        Address << address;
        return "250 OK";
    } catch (const Failure& f) {
        return "500 Syntax error;" + f.text();
    }
}

namespace {

QByteArray EhloReply(const QByteArray& host, bool offerTls)
{
    // The classic lines as they always were; STARTTLS when we can, and AUTH once more in the
    // form older clients read, so that they find LOGIN under its own name.
    return "250-" + host + "\r\n"
           "250-VRFY\r\n"
           "250-ETRN\r\n"
           "250-8BITMIME\r\n"
           "250-PIPELINING\r\n"
           "250-AUTH LONGIN PLAIN CRAM-MD5\r\n"
           "250-AUTH=LOGIN PLAIN CRAM-MD5\r\n"
           + QByteArray(offerTls ? "250-STARTTLS\r\n" : "") + "250 SIZE";
}

// A recipient the server will not take: "" when it may be taken.
QByteArray RecipientRefusal(Server& server, qint16 index, const Connecter& c, const QByteArray& line)
{
    const qsizetype open = line.indexOf('<'), close = line.indexOf('>', open + 1);
    if (open < 0 || close < 0)
        return {};   // GetRCPT has its own answer
    const Recipient r = Classify(line.mid(open + 1, close - open - 1));
    if (!r.local)
        return c.Smtp.User.isEmpty() && !Access::MayRelay(server.PeerAddress(index)) ? "554 5.7.1 Relay access denied" : "";
    return r.folder.isEmpty() ? "550 5.1.1 No such mailbox" : "";
}

// ETRN (RFC 1985): the deferred mail for a domain is tried now. "@domain" takes its
// subdomains too; named queues ("#") are not kept here.
QByteArray Etrn(const QByteArray& line)
{
    const QByteArray node = line.mid(4).trimmed();
    if (node.isEmpty() || node.contains(' ') || BadAddress(node))
        return "501 5.5.4 Syntax: ETRN domain";
    if (node.startsWith('#'))
        return "458 Unable to queue messages for node " + node;
    const bool subdomains = node.startsWith('@');
    const QString domain = QString::fromLatin1(subdomains ? node.mid(1) : node);
    if (domain.compare(mdlCommon::ServerDomain, Qt::CaseInsensitive) == 0)
        return "459 Node " + node + " not allowed: its mail is kept here for POP3";
    return TheQueue().Flush(domain, subdomains) > 0 ? "250 OK, queuing for node " + node + " started"
                                                    : "251 OK, no messages waiting for node " + node;
}

void Process(Server& server, qint16 index, Connecter& c, const QByteArray& text);

// Adds message text from text[pos..]. Returns the position in `text` just after the
// end-of-data line, or -1 when the message goes on.
qsizetype TakeMessageText(Connecter& c, const QByteArray& text, qsizetype pos, bool budgetSpent)
{
    auto& s = c.Smtp;
    if (budgetSpent)   // text that comes while memory is short is not kept, and the message refused
        s.OverBudget = true;
    const qsizetype before = c.Message.size();
    c.Message.append(text.constData() + pos, text.size() - pos);
    qsizetype lineStart = -1;   // where the line "." starts
    if (s.MessageScanned == 0 && c.Message.startsWith(".\r\n")) {
        lineStart = 0;
    } else {
        // Message always ended with CR LF before this text, so the line "." can start at
        // the first new byte: search from the CR LF before it.
        const qsizetype from = std::max<qsizetype>(0, std::min(s.MessageScanned, before) - 2);
        const qsizetype at = c.Message.indexOf("\r\n.\r\n", from);
        if (at >= 0) lineStart = at + 2;
    }
    if (lineStart < 0) {
        if (c.Message.size() > MaxMessageSize || (s.OverBudget && c.Message.size() > 2)) {
            // Keep only the tail the end-of-data search needs.
            s.Oversized = !s.OverBudget;
            c.Message = c.Message.right(2);
        }
        s.MessageScanned = c.Message.size();
        return -1;
    }
    const qsizetype endInMessage = lineStart + 3;
    c.Message.truncate(lineStart);   // the lines as received, without the "." line
    s.MessageScanned = 0;
    return pos + (endInMessage - before);
}

// Received: lines in the head of a message, each one relay it passed.
int Hops(const QByteArray& text)
{
    int hops = 0;
    for (qsizetype pos = 0; pos < text.size() && !text.mid(pos, 2).startsWith("\r\n");) {
        if (text.mid(pos, 9).compare("Received:", Qt::CaseInsensitive) == 0 && ++hops > MaxHops)
            break;
        const qsizetype lf = text.indexOf('\n', pos);
        pos = lf < 0 ? text.size() : lf + 1;
    }
    return hops;
}

void DropTransaction(Connecter& c)
{
    c.Address.clear();
    c.Message.clear();
    c.Smtp.Recipients = 0;
}

// A CR or LF that is not part of a CR LF pair: a receiver that takes one for a line end
// could be made to see a second, forged message.
bool BareLineEnd(const QByteArray& text)
{
    const char* p = text.constData();
    const char* end = p + text.size();
    for (const char* q = p; q < end; ++q) {
        q = static_cast<const char*>(memchr(q, '\n', size_t(end - q)));
        if (!q) break;
        if (q == p || q[-1] != '\r') return true;
    }
    for (const char* q = p; q < end; ++q) {
        q = static_cast<const char*>(memchr(q, '\r', size_t(end - q)));
        if (!q) break;
        if (q + 1 == end || q[1] != '\n') return true;
    }
    return false;
}

// The line "." has come: the message is stored (or refused) before anything else is read.
void EndOfData(Server& server, qint16 index, Connecter& c)
{
    const QByteArray refusal = c.Smtp.Oversized           ? "552 Message too large"
                               : c.Smtp.OverBudget         ? "452 4.3.1 Insufficient system storage"
                               : Hops(c.Message) > MaxHops ? "554 5.4.6 Too many hops"
                               : BareLineEnd(c.Message)    ? "554 5.5.2 Bare CR or LF not allowed"
                                                           : QByteArray();
    Envelope message{c.From, c.Address, std::move(c.Message), c.Smtp.Helo, c.Smtp.Esmtp};
    DropTransaction(c);
    c.SetStep(SmtpCommands);
    if (!refusal.isEmpty()) {
        server.Log(QByteArray::number(index) + "-Refused: " + refusal);
        server.SendReply(index, refusal);
        return;
    }
    c.Smtp.Delivering = true;
    const quint64 serial = c.Serial;
    DeliverMail(server, index, std::move(message), [&server, index, serial](const QByteArray& refusal) {
        Connecter* s = server.Session(index);
        if (!s || s->Serial != serial)
            return;   // the client left meanwhile; what was stored stays
        s->Smtp.Delivering = false;
        server.SendReply(index, refusal.isEmpty() ? QByteArray("250 OK <SB>") : refusal);
        const QByteArray pending = std::move(s->Smtp.Pending);
        s->Smtp.Pending.clear();
        Process(server, index, *s, pending);
    });
}

// Answers one command line. Returns false when the rest of the buffer must be dropped.
bool CommandLine(Server& server, qint16 index, Connecter& c, const QByteArray& line)
{
    const QByteArray word = line.left(4).toUpper();
    if (line.size() > MaxCommandLine) {
        server.SendReply(index, "500 5.5.2 Line too long");
    } else if (!c.Smtp.Auth.isEmpty()) {
        SmtpAuth(server, index, c, line);
    } else if (word == "HELO" || word == "EHLO") {
        const bool esmtp = word == "EHLO";
        const qsizetype blank = line.indexOf(' ');
        c.Smtp.Helo = blank < 0 ? QByteArray() : line.mid(blank + 1).trimmed();
        c.Smtp.Esmtp = esmtp;
        c.SetStep(esmtp ? SmtpAfterEhlo : SmtpAfterHelo);
        const QByteArray host = server.LocalHostName(index);
        server.SendReply(index, esmtp ? EhloReply(host, server.TlsAvailable() && !server.IsEncrypted(index)) : "250 " + host);
    } else if (word == "MAIL") {
        server.SendReply(index, c.GetMAIL(line));
    } else if (word == "RCPT") {
        if (++c.Smtp.Recipients > mdlCommon::MaxRecipients) {
            server.SendReply(index, "452 4.5.3 Too many recipients");
            return true;
        }
        const QByteArray refusal = RecipientRefusal(server, index, c, line);
        server.SendReply(index, refusal.isEmpty() ? c.GetRCPT(line) : refusal);
    } else if (word == "AUTH") {
        SmtpAuth(server, index, c, line);
    } else if (word == "STAR" && line.trimmed().toUpper() == "STARTTLS" && server.TlsAvailable() && !server.IsEncrypted(index)) {
        server.SendReply(index, "220 Ready to start TLS");
        server.StartTls(index);
        // The session starts over; anything sent behind STARTTLS in clear is dropped.
        c.From.clear();
        DropTransaction(c);
        c.Smtp = {};
        c.SetStep(SmtpCommands);
        return false;
    } else if (word == "DATA") {
        if (c.Address.isEmpty()) {
            server.SendReply(index, "554 5.5.1 No valid recipients");
        } else if (server.OverBudget()) {
            server.Log(QByteArray::number(index) + "-Refused: the memory budget is spent");
            server.SendReply(index, "452 4.3.1 Insufficient system storage");
        } else {
            c.SetStep(SmtpText);
            // Only as much as the budget can give: a client may declare what it never sends.
            if (c.Smtp.DeclaredSize > 0 && c.Smtp.DeclaredSize <= std::min<qint64>(MaxMessageSize, Budget::Limit() - Budget::Held()))
                c.Message.reserve(qsizetype(c.Smtp.DeclaredSize) + 4096);
            server.SendReply(index, "354 Start mail input; end with <CRLF>.<CRLF>");
        }
    } else if (word == "RSET") {
        c.From.clear();
        DropTransaction(c);
        server.SendReply(index, "250 OK");
    } else if (word == "NOOP") {
        server.SendReply(index, "250 OK");
    } else if (word == "VRFY") {
        server.SendReply(index, "252 2.5.2 Cannot VRFY user, but will accept message");
    } else if (word == "ETRN") {
        server.SendReply(index, Etrn(line));
    } else if (word == "HELP") {
        server.SendReply(index, "214 2.0.0 Commands: HELO EHLO MAIL RCPT DATA RSET NOOP VRFY ETRN HELP QUIT");
    } else if (word == "QUIT") {
        c.SetStep(Closing);
        server.SendReply(index, "221 Merivolant ESMTP Closed");
    } else {
        server.SendReply(index, "500 Syntax error");
    }
    return true;
}

void Process(Server& server, qint16 index, Connecter& c, const QByteArray& text)
{
    qsizetype pos = 0;
    while (pos < text.size() && c.Step() != Closing) {
        if (c.Smtp.Delivering) {
            c.Smtp.Pending += text.mid(pos);   // answered once the message is stored
            return;
        }
        if (c.Step() == SmtpText) {
            const qsizetype end = TakeMessageText(c, text, pos, server.OverBudget());
            if (end < 0)
                return;
            pos = end;
            EndOfData(server, index, c);
            continue;
        }
        qsizetype eol = text.indexOf("\r\n", pos);
        eol = eol < 0 ? text.size() : eol + 2;
        if (!CommandLine(server, index, c, text.mid(pos, eol - pos)))
            return;
        pos = eol;
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
    Process(server, index, *c, text);
}
