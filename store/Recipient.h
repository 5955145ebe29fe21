#pragma once
#include <QByteArray>
#include <QString>

// Where a recipient's mail goes: its domain (what follows the first "@", without a final
// dot; the served domain for an address without one), whether that is the served domain
// (letter case does not count), and then its mailbox folder ("" when it has none). Postmaster
// in any letter case has the mailbox of the setting Postmaster, or else the first account's.
struct Recipient {
    QByteArray domain;
    bool local = false;
    QString folder;
};
Recipient Classify(const QByteArray& address);

// Longest address we take.
inline constexpr qsizetype MaxAddress = 256;
// An address that could smuggle a line or a second envelope into our own replies, files or
// relay dialogues: control characters, or longer than any real one. Addresses read back from
// the relay queue pass the same test as at RCPT.
bool BadAddress(const QByteArray& address);
