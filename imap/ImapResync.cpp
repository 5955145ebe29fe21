// Reading what a client knew when it selects a folder again, and which of its sequence
// numbers still hold.
#include "imap/ImapResync.h"

#include <limits>

namespace Imap {

namespace {

quint64 Count(const SequenceSet& set)
{
    quint64 n = 0;
    for (const auto& [a, b] : set.Ranges(std::numeric_limits<quint32>::max()))
        n += quint64(b) - a + 1;
    return n;
}

}

std::optional<Known> ReadKnown(const std::vector<Arg>& items)
{
    Known k;
    bool ok = items.size() >= 2 && items.size() <= 4 && items[0].kind == Arg::Atom && items[1].kind == Arg::Atom;
    k.validity = ok ? items[0].text.toUInt(&ok) : 0;
    k.modseq = ok ? items[1].text.toULongLong(&ok) : 0;
    size_t i = 2;
    if (ok && i < items.size() && items[i].kind == Arg::Atom)
        ok = (k.uids = SequenceSet::Parse(items[i++].text)).has_value();
    if (ok && i < items.size()) {
        const std::vector<Arg>& match = items[i++].items;
        ok = match.size() == 2 && match[0].kind == Arg::Atom && match[1].kind == Arg::Atom && (k.seqs = SequenceSet::Parse(match[0].text))
             && (k.pairs = SequenceSet::Parse(match[1].text)) && Count(*k.seqs) == Count(*k.pairs);
    }
    return ok && i == items.size() && k.validity > 0 && k.modseq > 0 ? std::optional<Known>(k) : std::nullopt;
}

// No message below a pair that still holds can have gone since, or its number would have
// shifted; so expunges need be told only above the highest such UID.
quint32 StillInPlace(const std::vector<quint32>& uids, const SequenceSet& seqs, const SequenceSet& pairs)
{
    const auto s = seqs.Ranges(quint32(uids.size())), u = pairs.Ranges(std::numeric_limits<quint32>::max());
    quint32 held = 0;
    quint64 seq = s.empty() ? 0 : s[0].first, uid = u.empty() ? 0 : u[0].first;
    for (size_t i = 0, j = 0; i < s.size() && j < u.size() && seq >= 1 && seq <= uids.size() && uids[seq - 1] == uid;) {
        held = quint32(uid);
        if (++seq > s[i].second && ++i < s.size())
            seq = s[i].first;
        if (++uid > u[j].second && ++j < u.size())
            uid = u[j].first;
    }
    return held;
}

}
