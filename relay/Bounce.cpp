#include "relay/Bounce.h"
#include "core/Server.h"
#include "deliver/Delivery.h"
#include "core/TextHelper.h"
#include "core/mdlCommon.h"
#include "mail/Header.h"

#include <QRandomGenerator>
#include <QRegularExpression>

namespace {
QByteArray Date(const QDateTime& when) { return when.toString(Qt::RFC2822Date).toLatin1(); }


// The header of the message: up to the empty line, and not more than 64 KiB of it.
QByteArray HeaderOf(const QByteArray& text)
{
    QByteArray head = text.left(std::min<qsizetype>(Mail::Header(text).EmptyLine(), MaxQuotedHeader));
    if (!head.isEmpty() && !head.endsWith("\r\n"))
        head.truncate(head.lastIndexOf("\r\n") + 2);
    return head;
}
}

QByteArray OneLine(const QByteArray& reply) { return TextHelper::Printable(reply, MaxReplyLine, true); }

QByteArray StatusOf(const QByteArray& reply, bool expired)
{
    static const QRegularExpression enhanced(QStringLiteral("^[245]\\d\\d[ -]([245]\\.\\d{1,3}\\.\\d{1,3})\\b"));
    const auto m = enhanced.match(QString::fromLatin1(reply));
    if (m.hasMatch())
        return m.captured(1).toLatin1();
    if (reply.startsWith('5'))
        return "5.0.0";
    return expired ? "4.4.7" : "4.0.0";
}

QByteArray BounceMessage(const QByteArray& host, const BounceFacts& f)
{
    const QByteArray domain = mdlCommon::ServerDomain.toUtf8();
    const QDateTime now = QDateTime::currentDateTime();
    const QByteArray token = QByteArray::number(QRandomGenerator::global()->generate64(), 36);
    const QByteArray boundary = "=_bounce_" + token;
    const QByteArray reply = OneLine(f.reply);
    const QByteArray why = f.expired ? "could not be delivered in the time allowed; the last attempt ended with:"
                                     : "was refused by the receiving mail server:";
    QByteArray m;
    m += "From: Mail Delivery System <MAILER-DAEMON@" + domain + ">\r\n";
    m += "To: <" + f.sender + ">\r\n";
    m += "Subject: Undelivered Mail Returned to Sender\r\n";
    m += "Date: " + Date(now) + "\r\n";
    m += "Message-ID: <bounce." + token + "@" + domain + ">\r\n";
    m += "Auto-Submitted: auto-replied\r\n";
    m += "MIME-Version: 1.0\r\n";
    m += "Content-Type: multipart/report; report-type=delivery-status;\r\n\tboundary=\"" + boundary + "\"\r\n";
    m += "\r\nThis is a MIME-encapsulated message.\r\n\r\n";
    m += "--" + boundary + "\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n";
    m += "This is the mail system at " + host + ".\r\n\r\n";
    m += "Your message to <" + f.recipient + "> " + why + "\r\n\r\n    " + reply + "\r\n\r\n";
    m += "The header of your message is attached.\r\n\r\n";
    m += "--" + boundary + "\r\nContent-Type: message/delivery-status\r\n\r\n";
    m += "Reporting-MTA: dns; " + host + "\r\n";
    if (f.arrival.isValid())
        m += "Arrival-Date: " + Date(f.arrival) + "\r\n";
    m += "\r\nFinal-Recipient: rfc822; " + f.recipient + "\r\n";
    m += "Action: failed\r\n";
    m += "Status: " + StatusOf(f.reply, f.expired) + "\r\n";
    if (!f.remote.isEmpty())
        m += "Remote-MTA: dns; " + f.remote + "\r\n";
    if (QRegularExpression(QStringLiteral("^[245]\\d\\d")).match(QString::fromLatin1(reply)).hasMatch())
        m += "Diagnostic-Code: smtp; " + reply + "\r\n";
    m += "Last-Attempt-Date: " + Date(now) + "\r\n";
    m += "\r\n--" + boundary + "\r\nContent-Type: text/rfc822-headers\r\n\r\n";
    m += HeaderOf(f.original);
    m += "\r\n--" + boundary + "--\r\n";
    return m;
}

void SendNotice(Server& server, const StepList& steps, const BounceFacts& facts, std::function<void(const QByteArray& line)> log)
{
    const QByteArray to = facts.sender;
    Envelope notice;
    notice.recipients = {to};
    notice.text = BounceMessage(server.LocalHostName(-1), facts);
    notice.origin = Envelope::Origin::Notice;
    Deliver(server, steps, std::move(notice), [log = std::move(log), to](const Outcome& o) {
        if (o.noMailbox > 0)
            log("no notice: the sender <" + to + "> has no mailbox");
        else if (!o.refusal.isEmpty())
            log("notice for <" + to + "> lost: " + (o.failure.isEmpty() ? o.refusal : o.failure));
        else if (o.stored > 0)
            log("notice stored for <" + to + ">");
        else if (o.queued > 0)
            log("notice queued for <" + to + ">");
    });
}
