#pragma once
#include "core/PerAddressLog.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <deque>
#include <functional>

class Server;
struct Settings;

// Who may do what: logging in, relaying without logging in, and how long a client that
// keeps failing to log in waits before its next attempt is even checked.
namespace Access {

// The mail ID of the account with this user name and password in Users.txt, "" when there
// is none. A table that cannot be read logs `who` + " of <user> failed: …" and lets nobody in.
QString AccountMailId(const QString& user, const QString& password, const char* who);

// Whether Users.txt still has an account named `user`; false too when the table cannot be read.
bool AccountExists(const QString& user);

// True when a client address (as trace headers write it) lies in the setting RelayNetworks.
bool MayRelay(const Settings& settings, const QByteArray& peer);

// The failed logins of the addresses seen lately; the connection manager keeps them.
class LoginRecords {
public:
    // The failed logins of one address (or of one address and account) within the window,
    // oldest first (no more than the limit matter), and until when it is locked out.
    struct Failures {
        std::deque<qint64> times;   // ms since the epoch
        qint64 lockedUntil = 0;
        int refused = 0;            // attempts refused since the last line about the lock-out
    };
    QHash<QByteArray, Failures> book;
    PerAddressLog failureLog, lockLog;
};

// What became of a login attempt.
enum class Verdict { Granted, Refused, LockedOut };

// A login attempt on connection `index`. Guessing costs time however the client behaves: the
// attempt is checked only once the client's address has waited what its failures of the last
// LoginFailureWindow seconds earned, counted from the latest of them on any connection (none
// at first, then LoginDelay ms, doubling with each further failure up to 64 times that), the
// right password too. `check` then says whether the password was right, and `answer` gets
// the verdict. An address with LoginFailureLimit failures in the window gets LockedOut for
// LoginLockout seconds without a check. Meanwhile the connection reads nothing; both run only
// while it keeps its session, so an attempt whose client left is never checked. The waits and
// the lock-out are logged at most once a minute per address.
// The failures are counted per address and account (`account`, "" when the client names none)
// against LoginFailureLimit, which also sets the waits, and per address across all accounts
// against LoginAddressFailureLimit: either locks out what it counts.
void Attempt(Server& server, qint16 index, std::function<bool()> check, std::function<void(Verdict)> answer,
             const QString& account = {});

}
