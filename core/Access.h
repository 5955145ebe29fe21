#pragma once
#include <QByteArray>
#include <QString>

class Server;

// Who may do what: logging in, relaying without logging in, and how long a client that
// keeps failing to log in waits for its next answer.
namespace Access {

// The mail ID of the account with this user name and password in Users.txt, "" when there
// is none. A table that cannot be read logs `who` + " of <user> failed: …" and lets nobody in.
QString AccountMailId(const QString& user, const QString& password, const char* who);

// True when a client address (as trace headers write it) lies in the setting RelayNetworks.
bool MayRelay(const QByteArray& peer);

// How long the reply to the next login of `peer` waits: nothing at first, then doubling
// with each failure of the last quarter of an hour, up to 16 s.
int LoginDelayMs(const QByteArray& peer);
// Notes a login's outcome. Returns a log line the first time in a minute that an address
// fails, "" otherwise.
QByteArray LoginResult(const QByteArray& peer, bool ok);

// Sends the answer to a login on connection `index`: at once when it worked, otherwise as late
// as the client's address has earned; notes the outcome and logs what LoginResult says.
void AnswerLogin(Server& server, qint16 index, const QByteArray& reply, bool ok);

}
