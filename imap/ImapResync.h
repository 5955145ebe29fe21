#pragma once
// What a client that selects a folder again says it knew of it (QRESYNC): the UIDVALIDITY and
// mod-sequence it last saw, the UIDs it holds, and pairs of sequence number and UID from then.
#include "imap/ImapArgs.h"

namespace Imap {

struct Known {
    quint32 validity = 0;
    quint64 modseq = 0;
    std::optional<SequenceSet> uids;         // none: every UID
    std::optional<SequenceSet> seqs, pairs;  // sequence numbers and the UIDs they had
};

// The list after QRESYNC: (uidvalidity modseq [known-uids] [(seqs uids)]); nullopt when
// malformed or when the pairs do not pair up.
std::optional<Known> ReadKnown(const std::vector<Arg>& items);

// The highest UID of the pairs that still hold in `uids` (sequence number n is uids[n - 1]),
// walked low to high up to the first that does not; 0 for none.
quint32 StillInPlace(const std::vector<quint32>& uids, const SequenceSet& seqs, const SequenceSet& pairs);

}
