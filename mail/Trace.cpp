#include "mail/Trace.h"

#include <QDateTime>
#include <QRandomGenerator>

namespace Mail {

namespace {
// ESMTP with S for TLS and A for a login (RFC 3848); a client of HELO spoke plain SMTP.
QByteArray Protocol(const Hop& hop)
{
    return hop.esmtp ? QByteArray("ESMTP") + (hop.tls ? "S" : "") + (hop.authenticated ? "A" : "") : QByteArray("SMTP");
}
}

QByteArray Received(const Hop& hop, const QByteArray& rcpt, const QByteArray& when)
{
    QByteArray from = hop.helo.isEmpty() ? QByteArray("unknown") : hop.helo;
    if (!hop.client.isEmpty())
        from += " ([" + hop.client + "])";
    return "Received: from " + from + "\r\n\tby " + hop.host + " with " + Protocol(hop) + "\r\n\tfor <" + rcpt + ">; "
           + when + "\r\n";
}

QByteArray ReturnPath(const QByteArray& sender) { return "Return-Path: <" + sender + ">\r\n"; }

QByteArray MissingFields(const Header& header, const QByteArray& host)
{
    QByteArray fields;
    if (header.Values("Date").isEmpty())
        fields += "Date: " + QDateTime::currentDateTime().toString(Qt::RFC2822Date).toLatin1() + "\r\n";
    if (header.Values("Message-ID").isEmpty())
        fields += "Message-ID: <" + QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMddhhmmsszzz")).toLatin1() + '.'
                  + QByteArray::number(QRandomGenerator::system()->generate64(), 36) + '@' + host + ">\r\n";
    return fields;
}

}
