#pragma once
#include <QByteArray>

class Server;

// Who may do what: relaying without logging in, and how long a client that keeps failing
// to log in waits for its next answer.
namespace Access {

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
