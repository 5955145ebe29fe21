#pragma once
// The trace lines a message gets here (RFC 5321 4.4), and the fields a submitted message
// must carry (RFC 6409 8.2, 8.3).
#include "mail/Header.h"

#include <QByteArray>

namespace Mail {

// What a Received: line says of a message's way here. Words the peer chose (`helo`, `rcpt`)
// come printable already.
struct Hop {
    QByteArray helo;     // "" when the client gave none
    QByteArray client;   // its address as trace lines write it ("192.0.2.1", "IPv6:::1"); "" unknown
    bool esmtp = false;  // it greeted with EHLO
    QByteArray host;     // our host name
    bool tls = false;            // it came over TLS
    bool authenticated = false;  // its client logged in
};
// "Received: from …\r\n\tby …\r\n\tfor <rcpt>; when\r\n".
QByteArray Received(const Hop& hop, const QByteArray& rcpt, const QByteArray& when);
// "Return-Path: <sender>\r\n".
QByteArray ReturnPath(const QByteArray& sender);

// The fields a submitted message lacks, ready to go on top of it: "Date: …" and
// "Message-ID: <…@host>", each with CR LF; "" when it has both.
QByteArray MissingFields(const Header& header, const QByteArray& host);

}
