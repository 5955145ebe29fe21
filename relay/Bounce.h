#pragma once
#include <QByteArray>
#include <QDateTime>
#include <functional>
#include "deliver/Step.h"

class Server;

// What a delivery status notice tells its reader about one recipient that could not be reached.
struct BounceFacts {
    QByteArray sender;        // envelope sender of the message: the notice goes there
    QByteArray recipient;     // the one that failed
    QByteArray reply;         // the exchanger's last reply, or why there was none
    QByteArray remote;        // the exchanger that gave it, "" when none answered
    QByteArray original;      // the message as accepted (its header is quoted)
    QDateTime arrival;        // when we accepted it
    bool expired = false;     // given up after RelayExpire rather than refused
};

// Most of the original header a notice quotes.
inline constexpr qsizetype MaxQuotedHeader = 65536;

// The notice (RFC 3464, multipart/report; report-type=delivery-status), header and body,
// from MAILER-DAEMON of the served domain. `host` is this server's name.
QByteArray BounceMessage(const QByteArray& host, const BounceFacts& facts);

// A reply of several lines as one line of printable ASCII, for a header field, the log and
// the queue file; at most MaxReplyLine bytes.
inline constexpr qsizetype MaxReplyLine = 500;
QByteArray OneLine(const QByteArray& reply);

// The enhanced status of a reply ("5.1.1" of "550 5.1.1 No such user"), or one made from
// its code: 5.0.0 for a refusal, 4.4.7 for an expiry without a reply.
QByteArray StatusOf(const QByteArray& reply, bool expired);

// Sends the notice to the message's sender through the one delivery: into the sender's
// mailbox when the sender is local, otherwise through the relay queue. `log` hears where it went.
void SendNotice(Server& server, const StepList& steps, const BounceFacts& facts, std::function<void(const QByteArray& line)> log);
