#pragma once
#include <QByteArray>
#include <QList>
#include <QString>

#include "store/Recipient.h"

#include <any>

// A message accepted for delivery: its envelope, its text, and who handed it over and how.
struct Envelope {
    enum class Origin {
        Smtp,     // received from an SMTP client: trace headers name it
        Notice,   // a delivery status notice of our own: no trace line
    };

    QByteArray sender;             // MAIL FROM; "" for a notice
    QList<QByteArray> recipients;  // in RCPT order, as given
    QList<Recipient> classified;   // where each goes, when the caller has found out already
    QByteArray text;               // the lines as received, each with CR LF; no end-of-data line
    Origin origin = Origin::Smtp;
    QByteArray helo;               // the name the client gave
    bool esmtp = false;            // it greeted with EHLO
    QByteArray client;             // its address as trace headers write it; "" when unknown
    QString user;                  // who logged in with AUTH; "" for nobody
    qint16 index = -1;             // the connection it came on, for log lines; -1: none
    bool submitted = false;        // it came on the submission port: a missing Date or Message-ID is added
    std::any senderCheck;          // what a check at MAIL found out about the sender, its maker's own
    bool tls = false;              // it came over TLS
};
