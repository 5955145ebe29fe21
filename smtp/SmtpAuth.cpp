#include "smtp/SmtpAuth.h"
#include "core/Access.h"
#include "smtp/SmtpSession.h"
#include "core/Failure.h"
#include "core/Server.h"
#include "core/TextDatabase.h"
#include "core/mdlCommon.h"

#include <QDateTime>
#include <QMessageAuthenticationCode>
#include <QRandomGenerator>

namespace {

const QByteArray Granted = "235 2.7.0 Authentication successful";
const QByteArray Refused = "535 5.7.8 Authentication credentials invalid";
const QByteArray LockedOut = "454 4.7.0 Too many failed logins, try again later";

bool PasswordMatches(const QString& user, const QString& password)
{
    return !Access::AccountMailId(user, password, "AUTH").isEmpty();
}

// CRAM-MD5: the digest must be the keyed hash of our challenge under one of the user's passwords.
bool DigestMatches(const QString& user, const QByteArray& challenge, const QByteArray& digest)
{
    try {
        const auto r = mdlCommon::DbConnection().Execute(QStringLiteral("Select Password From Users.txt Where UserName=?"), {user});
        for (const QStringList& row : r.rows)
            if (QMessageAuthenticationCode::hash(challenge, row.value(0).toUtf8(), QCryptographicHash::Md5).toHex() == digest.toLower())
                return true;
    } catch (const Failure& f) {
        mdlCommon::Report(QStringLiteral("AUTH of %1 failed: %2").arg(user, QString::fromUtf8(f.text())));
    }
    return false;
}

// The exchange is over; the login is checked once the client's address has waited its turn
// (see Access::Attempt). The connection is Waiting meanwhile, so what the client sent behind
// it stays in the receive buffer until the answer has gone.
void Check(Server& server, qint16 index, SmtpSession& s, const QString& user, std::function<bool()> matches)
{
    s.Auth.clear();
    s.AuthUser.clear();
    s.Challenge.clear();
    SmtpSession* session = &s;
    Access::Attempt(server, index, std::move(matches), [&server, index, session, user](Access::Verdict v) {
        if (v == Access::Verdict::Granted)
            session->User = user;
        server.SendReply(index, v == Access::Verdict::Granted ? Granted : v == Access::Verdict::Refused ? Refused : LockedOut);
    }, user);
}

// One base64 line of the client; false when it cannot be read.
bool Decode(const QByteArray& line, QByteArray* out)
{
    const auto r = QByteArray::fromBase64Encoding(line.trimmed(), QByteArray::AbortOnBase64DecodingErrors);
    *out = r.decoded;
    return bool(r);
}

// Goes on with the exchange given the client's answer (decoded).
void Step(Server& server, qint16 index, SmtpSession& s, const QByteArray& answer)
{
    if (s.Auth == "PLAIN") {   // authorization id NUL user NUL password
        // Acting for another account than one's own is not offered.
        const QList<QByteArray> parts = answer.split('\0');
        const bool own = parts.size() == 3 && (parts[0].isEmpty() || parts[0] == parts[1]);
        const QString user = QString::fromUtf8(parts.value(1)), password = QString::fromUtf8(parts.value(2));
        Check(server, index, s, user, [own, user, password] { return own && PasswordMatches(user, password); });
    } else if (s.Auth == "LOGIN" && s.AuthUser.isNull()) {
        s.AuthUser = answer.isNull() ? QByteArray("") : answer;
        server.SendReply(index, "334 UGFzc3dvcmQ6");   // "Password:"
    } else if (s.Auth == "LOGIN") {
        const QString user = QString::fromUtf8(s.AuthUser), password = QString::fromUtf8(answer);
        Check(server, index, s, user, [user, password] { return PasswordMatches(user, password); });
    } else {   // CRAM-MD5: "user digest"
        const qsizetype blank = answer.lastIndexOf(' ');
        const QString user = QString::fromUtf8(answer.left(blank));
        Check(server, index, s, user, [blank, user, challenge = s.Challenge, digest = answer.mid(blank + 1)] {
            return blank > 0 && DigestMatches(user, challenge, digest);
        });
    }
}

}

void SmtpAuth(Server& server, qint16 index, SmtpSession& s, const QByteArray& line)
{
    const QByteArray text = line.trimmed();
    if (!s.Auth.isEmpty()) {   // the client's answer to our 334
        QByteArray answer;
        if (text == "*") {
            s.Auth.clear();
            server.SendReply(index, "501 5.0.0 Authentication cancelled");
        } else if (!Decode(text, &answer)) {
            s.Auth.clear();
            server.SendReply(index, "501 5.5.2 Cannot decode the answer");
        } else {
            Step(server, index, s, answer);
        }
        return;
    }
    const QList<QByteArray> words = text.simplified().split(' ');
    QByteArray mechanism = words.value(1).toUpper();
    if (mechanism == "LONGIN")   // as our EHLO line spells it
        mechanism = "LOGIN";
    if (mechanism != "PLAIN" && mechanism != "LOGIN" && mechanism != "CRAM-MD5") {
        server.SendReply(index, "504 5.5.4 Unrecognized authentication type");
        return;
    }
    // A password in clear only over TLS, once we can offer it, except from our own networks;
    // on the submission port only over TLS.
    if (mechanism != "CRAM-MD5" && !server.IsEncrypted(index)
        && (s.Submission || (server.TlsAvailable() && !Access::MayRelay(server.Config(), server.PeerAddress(index))))) {
        server.SendReply(index, "538 5.7.11 Encryption required");
        return;
    }
    s.Auth = mechanism;
    s.AuthUser = QByteArray();
    if (mechanism == "CRAM-MD5") {
        s.Challenge = "<" + QByteArray::number(QRandomGenerator::system()->generate64()) + "."
                      + QByteArray::number(QDateTime::currentSecsSinceEpoch()) + "@" + server.LocalHostName(index) + ">";
        server.SendReply(index, "334 " + s.Challenge.toBase64());
        return;
    }
    if (words.size() < 3) {   // no initial answer: ask for it
        server.SendReply(index, mechanism == "PLAIN" ? QByteArray("334 ") : QByteArray("334 VXNlcm5hbWU6"));   // "Username:"
        return;
    }
    SmtpAuth(server, index, s, words[2] == "=" ? QByteArray() : words[2]);
}
