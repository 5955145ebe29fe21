#pragma once
#include <QByteArray>
#include <QString>

struct Settings;

// Where a recipient's mail goes: its domain (what follows the last "@" outside quotes, lower
// case, without a final dot; the served domain for an address without one), whether that is
// the served domain, and then its mailbox folder ("" when it has none). Postmaster
// in any letter case has the mailbox of the setting Postmaster, or else the first account's;
// a local part that is no mailbox but an alias (store/Aliases.h) has its account's.
struct Recipient {
    QByteArray domain;
    bool local = false;
    QString folder;
};
Recipient Classify(const Settings& settings, const QByteArray& address);

// True when a domain names this machine, so that relaying there would hand mail to whatever
// listens here: localhost and the names under it, the host name `hostName` (the setting
// HostName) and the machine's own short name, and addresses, bare or as literals
// ([127.0.0.1], [IPv6:::1]), that are the machine's own: all of 127.0.0.0/8 and ::1, the
// unspecified address, and those of its interfaces.
bool ThisHost(const QByteArray& domain, const QByteArray& hostName);

// Longest address we take.
inline constexpr qsizetype MaxAddress = 256;
// An address that could smuggle a line or a second envelope into our own replies, files or
// relay dialogues: control characters, or longer than any real one. Addresses read back from
// the relay queue pass the same test as at RCPT.
bool BadAddress(const QByteArray& address);
