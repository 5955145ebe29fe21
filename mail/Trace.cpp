#include "mail/Trace.h"

#include <QDateTime>
#include <QRandomGenerator>

namespace Mail {

QByteArray Received(const Hop& hop, const QByteArray& rcpt, const QByteArray& when)
{
    QByteArray from = hop.helo.isEmpty() ? QByteArray("unknown") : hop.helo;
    if (!hop.client.isEmpty())
        from += " ([" + hop.client + "])";
    return "Received: from " + from + "\r\n\tby " + hop.host + " with " + (hop.esmtp ? "ESMTP" : "SMTP") + "\r\n\tfor <" + rcpt + ">; "
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
