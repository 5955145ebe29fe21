// FETCH, STORE and SEARCH: reading, flagging and finding the selected folder's messages.
#include "core/Failure.h"
#include "imap/ImapFetch.h"
#include "imap/ImapSelected.h"
#include "store/HeaderCache.h"
#include "store/MailboxIndex.h"

#include <algorithm>

namespace Imap {

namespace {

// How often a FETCH waiting for its client to read looks again.
constexpr int FetchPauseMs = 5;

QByteArray Num(quint64 n) { return QByteArray::number(n); }

// Used within the turn that makes it, while the session holds the index: a plain pointer keeps
// each reader small enough to need no memory of its own, three a message.
MessageRef Ref(const ImapSession& s, quint32 seq, const IndexEntry* entry)
{
    MailboxIndex* const box = s.Box.get();
    const quint32 uid = entry->uid;
    return MessageRef{seq, entry, [box, uid] { return box->Text(uid); }, [box, uid] { return HeaderCache::Header(*box, uid); },
                      [box, uid] { return HeaderCache::Envelope(*box, uid); }};
}

}

// The responses to FETCH from the `from`th of `chosen` on. While the client leaves too much of
// them unread, the rest waits (and so does the client's next command): a FETCH of a large
// folder is never made whole in memory ahead of the client.
void FetchFrom(Turn& t, std::shared_ptr<const FetchItems> items, std::shared_ptr<const std::vector<quint32>> chosen, size_t from, QByteArray failed)
{
    Stretches out(t.server, t.index);
    for (size_t at = from; at < chosen->size(); ++at) {
        if (t.server.Waiting(t.index)) {
            out.Send();
            auto command = std::make_shared<const Command>(t.command);
            t.server.After(t.index, FetchPauseMs, [&server = t.server, index = t.index, &c = t.c, &s = t.s, command, items, chosen, at, failed] {
                Turn again{server, index, c, s, *command};
                FetchFrom(again, items, chosen, at, failed);
            });
            return;
        }
        const quint32 seq = (*chosen)[at];
        const IndexEntry* e = seq <= t.s.Uids.size() ? t.s.Box->Find(t.s.Uids[seq - 1]) : nullptr;
        if (!e || (items->ChangedSince() && e->modseq <= items->ChangedSince()))
            continue;
        const quint32 uid = e->uid;
        QByteArray error;
        const bool seen = items->SetsSeen() && !t.s.ReadOnly && !e->Has("\\Seen");
        try {
            if (seen) {
                const quint64 before = t.s.Box->HighestModSeq();
                t.s.Box->Store(uid, MailboxIndex::FlagMode::Add, {"\\Seen"});
                e = t.s.Box->Find(uid);
                Remember(t.s, *e);
                Told(t.s, before);
            }
            QByteArray response = items->Response(Ref(t.s, seq, e), IsUid(t), seen, &error);
            if (response.isEmpty())
                failed = error;
            else
                out.Add(response);
        } catch (const Failure& f) {
            failed = "Message " + Num(seq) + " cannot be read: " + f.description.toUtf8();
        }
    }
    out.Send();
    if (!failed.isEmpty())
        return t.No(failed);
    t.Ok(t.command.name + " completed");
}

void Fetch(Turn& t)
{
    auto chosen = Chosen(t, 0);
    QByteArray error;
    auto items = FetchItems::Parse(t.command.args, 1, &error);
    if (!chosen || !items)
        return t.Bad(chosen ? error : "Malformed sequence set");
    t.s.CondStore = t.s.CondStore || items->WantsModSeq();
    if (items->Vanished() && (!IsUid(t) || !t.s.QResync))
        return t.Bad("VANISHED wants UID FETCH and QRESYNC");
    if (items->Vanished()) {
        const auto set = SetArg(t, 0);
        std::vector<quint32> vanished;
        for (quint32 uid : t.s.Box->ExpungedSince(items->ChangedSince()))
            if (set->Contains(uid, t.s.Box->UidNext() - 1) && !t.s.Box->Find(uid))
                vanished.push_back(uid);
        if (!vanished.empty())
            t.Untagged("VANISHED (EARLIER) " + SetOf(vanished));
    }
    FetchFrom(t, std::make_shared<const FetchItems>(std::move(*items)), std::make_shared<const std::vector<quint32>>(std::move(*chosen)), 0, {});
}

// STORE set [(UNCHANGEDSINCE n)] [+-]FLAGS[.SILENT] flags
void Store(Turn& t)
{
    const auto chosen = Chosen(t, 0);
    const std::vector<Arg>& args = t.command.args;
    const bool conditional = args.size() > 1 && args[1].kind == Arg::List;
    const size_t at = conditional ? 2 : 1;
    quint64 unchangedSince = 0;
    if (conditional) {
        const std::vector<Arg>& mods = args[1].items;
        if (mods.size() != 2 || !mods[0].IsAtom("UNCHANGEDSINCE"))
            return t.Bad("Unknown STORE modifier");
        unchangedSince = mods[1].text.toULongLong();
        t.s.CondStore = true;
    }
    QByteArray item = at < args.size() && args[at].kind == Arg::Atom ? args[at].text.toUpper() : QByteArray();
    const bool silent = item.endsWith(".SILENT");
    item.chop(silent ? 7 : 0);
    const auto mode = item == "FLAGS" ? MailboxIndex::FlagMode::Set : item == "+FLAGS" ? MailboxIndex::FlagMode::Add : MailboxIndex::FlagMode::Remove;
    QList<QByteArray> flags;
    for (size_t i = at + 1; i < args.size(); ++i)
        for (const Arg& f : args[i].kind == Arg::List ? args[i].items : std::vector<Arg>{args[i]})
            flags << f.text;
    if (!chosen || (item != "FLAGS" && item != "+FLAGS" && item != "-FLAGS") || at + 1 >= args.size())
        return t.Bad("STORE wants a set, FLAGS, +FLAGS or -FLAGS and flags");
    if (t.s.ReadOnly)
        return t.No("[READ-ONLY] Mailbox is read-only");
    QList<quint32> uids;
    for (quint32 seq : *chosen)
        uids << t.s.Uids[seq - 1];
    // UNCHANGEDSINCE 0 leaves every message alone: each has been changed since.
    QList<quint32> leftAlone = conditional && unchangedSince == 0 ? uids : QList<quint32>();
    const quint64 before = t.s.Box->HighestModSeq();
    try {
        if (leftAlone.isEmpty())
            leftAlone = t.s.Box->Store(uids, mode, flags, unchangedSince);
    } catch (const Failure& f) {
        return t.No(f.description.toUtf8());
    }
    std::vector<quint32> modified;
    Stretches out(t.server, t.index);
    for (quint32 seq : *chosen) {
        const quint32 uid = t.s.Uids[seq - 1];
        const IndexEntry* e = t.s.Box->Find(uid);
        if (leftAlone.contains(uid))
            modified.push_back(IsUid(t) ? uid : seq);
        if (!e || leftAlone.contains(uid))
            continue;
        if (!silent)
            out.Add("* " + FlagsFetch(t.s, seq, *e, IsUid(t)) + "\r\n");
        Remember(t.s, *e);
    }
    Told(t.s, before);
    out.Send();
    t.Ok((modified.empty() ? QByteArray() : "[MODIFIED " + SetOf(modified) + "] ") + t.command.name + " completed");
}

// SEARCH RETURN (... SAVE ...) keeps the matches for "$": all of them, or only the lowest and
// highest when MIN or MAX come without ALL or COUNT.
void Save(ImapSession& s, const std::vector<Arg>& options, std::vector<quint32> uids)
{
    const auto has = [&](const char* o) { return std::any_of(options.begin(), options.end(), [o](const Arg& a) { return a.IsAtom(o); }); };
    if ((has("MIN") || has("MAX")) && !has("ALL") && !has("COUNT") && !uids.empty())
        uids = has("MIN") && has("MAX") && uids.size() > 1 ? std::vector<quint32>{uids.front(), uids.back()}
                                                          : std::vector<quint32>{has("MIN") ? uids.front() : uids.back()};
    s.SavedUids = std::move(uids);
}

void Search(Turn& t)
{
    const std::vector<Arg>& args = t.command.args;
    const std::vector<Arg> options = args.size() > 1 && args[0].IsAtom("RETURN") && args[1].kind == Arg::List ? args[1].items : std::vector<Arg>();
    const bool save = std::any_of(options.begin(), options.end(), [](const Arg& a) { return a.IsAtom("SAVE"); });
    const SavedSets saved = Saved(t.s);
    if (save)
        t.s.SavedUids.clear();   // a SEARCH that fails leaves nothing saved
    QByteArray error;
    const auto query = SearchQuery::Parse(args, 0, &error, &saved);
    if (!query)
        return error.startsWith("[BADCHARSET]") ? t.No(error) : t.Bad(error);
    std::vector<quint32> matches, uids;
    quint64 highest = 0;
    const quint32 largestUid = t.s.Uids.empty() ? 0 : t.s.Uids.back();
    try {
        for (size_t n = 1; n <= t.s.Uids.size(); ++n) {
            const IndexEntry* e = t.s.Box->Find(t.s.Uids[n - 1]);
            if (!e || !query->Matches(Ref(t.s, quint32(n), e), quint32(t.s.Uids.size()), largestUid))
                continue;
            matches.push_back(IsUid(t) ? e->uid : quint32(n));
            uids.push_back(e->uid);
            highest = std::max(highest, e->modseq);
        }
    } catch (const Failure& f) {
        return t.No("Cannot search: " + f.description.toUtf8());
    }
    if (save)
        Save(t.s, options, std::move(uids));
    // SAVE alone asks for no response: the client goes on with "$".
    if (!save || options.size() > 1) {
        const QByteArray response = query->Response(t.command.tag, matches, IsUid(t), highest, t.s.Rev2);
        t.server.SendReplyTaken(t.index, response.endsWith("\r\n") ? response.chopped(2) : response);
    }
    t.Ok(t.command.name + " completed");
}

}
