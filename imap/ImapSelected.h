#pragma once
// What the commands on the selected folder share: the sets of messages they are given, and what
// this session has shown its client of each message.
#include "imap/ImapTurn.h"
#include "store/MailboxIndex.h"

#include <vector>

namespace Imap {

// UIDs or numbers as a set, runs joined: "1:3,7".
QByteArray SetOf(std::vector<quint32> numbers);
bool IsUid(const Turn& t);
// What the last SEARCH saved ("$") of the messages the client still sees.
SavedSets Saved(const ImapSession& s);
// The set argument at `arg`, by number or (UID commands) by UID; nullopt when malformed.
std::optional<SequenceSet> SetArg(const Turn& t, size_t arg);
// The sequence numbers the set names, by number or (UID commands) by UID; nullopt when the
// set is malformed. Only what exists is looked at, however wide the set.
std::optional<std::vector<quint32>> Chosen(const Turn& t, size_t arg);
// "n FETCH (FLAGS (...))" of a message whose flags changed, with its MODSEQ under CONDSTORE.
QByteArray FlagsFetch(const ImapSession& s, quint32 seq, const IndexEntry& e, bool uid);
// The message's flags as the client now knows them.
void Remember(ImapSession& s, const IndexEntry& e);
// After this session changed flags (one mod-sequence, from `before`) and remembered them as
// shown: when nothing else changed since it last looked, it is up to date again, and its next
// command need not go over every message to find that nothing is left to tell.
void Told(ImapSession& s, quint64 before);

}
