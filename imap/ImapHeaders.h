#pragma once
// Message headers kept in memory once read, so that SEARCH by a header field and FETCH
// ENVELOPE do not read every message file again. A message never changes under its UID, so a
// header kept stays right until newer ones push it out.
#include <QByteArray>

class MailboxIndex;

namespace Imap {

// The header of message `uid` of `box`, with the blank line after it. Throws Failure.
QByteArray HeaderOf(const MailboxIndex& box, quint32 uid);

}
