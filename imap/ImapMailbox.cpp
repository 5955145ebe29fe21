// The selected folder: SELECT and EXAMINE, the changes others made told at the moments the
// client may hear them, FETCH, STORE, SEARCH, EXPUNGE, COPY and MOVE, CLOSE and UNSELECT.
#include "core/Failure.h"
#include "imap/ImapFetch.h"
#include "imap/ImapResync.h"
#include "imap/ImapTurn.h"
#include "store/Folders.h"
#include "store/HeaderCache.h"
#include "store/MailboxIndex.h"

#include <algorithm>

namespace Imap {

namespace {

// How often a FETCH waiting for its client to read looks again.
constexpr int FetchPauseMs = 5;

const QByteArray SystemFlags = "\\Answered \\Flagged \\Deleted \\Seen \\Draft";
const char* const Deleted = "\\Deleted";

QByteArray Num(quint64 n) { return QByteArray::number(n); }

QByteArray FlagList(const QList<QByteArray>& flags) { return '(' + flags.join(' ') + ')'; }

// UIDs or numbers as a set, runs joined: "1:3,7".
QByteArray SetOf(std::vector<quint32> numbers)
{
    std::sort(numbers.begin(), numbers.end());
    QByteArray r;
    for (size_t i = 0; i < numbers.size();) {
        size_t j = i;
        while (j + 1 < numbers.size() && numbers[j + 1] == numbers[j] + 1)
            ++j;
        r += (r.isEmpty() ? "" : ",") + Num(numbers[i]) + (j > i ? ':' + Num(numbers[j]) : QByteArray());
        i = j + 1;
    }
    return r;
}

bool IsUid(const Turn& t) { return t.command.name.startsWith("UID "); }

// What the last SEARCH saved ("$") of the messages the client still sees.
SavedSets Saved(const ImapSession& s)
{
    SavedSets out;
    for (quint32 uid : s.SavedUids)
        if (const auto at = std::lower_bound(s.Uids.begin(), s.Uids.end(), uid); at != s.Uids.end() && *at == uid) {
            out.seqs.push_back(quint32(at - s.Uids.begin() + 1));
            out.uids.push_back(uid);
        }
    return out;
}

// The set argument at `arg`, by number or (UID commands) by UID; nullopt when malformed.
std::optional<SequenceSet> SetArg(const Turn& t, size_t arg)
{
    const SavedSets saved = Saved(t.s);
    return t.Text(arg) ? SequenceSet::Parse(*t.Text(arg), IsUid(t) ? &saved.uids : &saved.seqs) : std::nullopt;
}

// The sequence numbers the set names, by number or (UID commands) by UID; nullopt when the
// set is malformed. Only what exists is looked at, however wide the set.
std::optional<std::vector<quint32>> Chosen(const Turn& t, size_t arg)
{
    const auto set = SetArg(t, arg);
    if (!set)
        return std::nullopt;
    const std::vector<quint32>& uids = t.s.Uids;
    std::vector<quint32> seqs;
    if (!IsUid(t)) {
        for (const auto& [a, b] : set->Ranges(quint32(uids.size())))
            for (quint64 n = std::max<quint32>(a, 1); n <= b && n <= uids.size(); ++n)
                seqs.push_back(quint32(n));
        return seqs;
    }
    for (const auto& [a, b] : set->Ranges(uids.empty() ? 0 : uids.back()))
        for (auto it = std::lower_bound(uids.begin(), uids.end(), a); it != uids.end() && *it <= b; ++it)
            seqs.push_back(quint32(it - uids.begin() + 1));
    return seqs;
}

MessageRef Ref(const ImapSession& s, quint32 seq, const IndexEntry* entry)
{
    const std::shared_ptr<MailboxIndex> box = s.Box;
    const quint32 uid = entry->uid;
    return MessageRef{seq, entry, [box, uid] { return box->Text(uid); }, [box, uid] { return HeaderCache::Header(*box, uid); },
                      [box, uid] { return HeaderCache::Envelope(*box, uid); }};
}

QByteArray FlagsFetch(const ImapSession& s, quint32 seq, const IndexEntry& e, bool uid)
{
    return Num(seq) + " FETCH (" + (uid ? "UID " + Num(e.uid) + ' ' : QByteArray()) + "FLAGS " + FlagList(e.flags)
           + (s.CondStore ? " MODSEQ (" + Num(e.modseq) + ')' : QByteArray()) + ')';
}

void Remember(ImapSession& s, const IndexEntry& e) { s.ShownFlags[e.uid] = {e.flags, e.modseq}; }

}

void Report(Server& server, qint16 index, ImapSession& s, bool expunges)
{
    s.Box->Refresh();
    s.Changed = false;
    // Every change raises the highest mod-sequence: unchanged, there is nothing to tell.
    const quint64 now = s.Box->HighestModSeq();
    Stretches out(server, index);   // one reply and log line a stretch, as FETCH sends them
    if (expunges && now != s.ExpungesLooked) {
        std::vector<quint32> gone;
        for (size_t n = s.Uids.size(); n > 0; --n) {
            if (s.Box->Find(s.Uids[n - 1]))
                continue;
            gone.push_back(s.Uids[n - 1]);
            if (!s.QResync)
                out.Add("* " + Num(n) + " EXPUNGE\r\n");
            s.ShownFlags.erase(s.Uids[n - 1]);
            s.Uids.erase(s.Uids.begin() + qsizetype(n - 1));
        }
        if (s.QResync && !gone.empty())
            out.Add("* VANISHED " + SetOf(gone) + "\r\n");
        s.ExpungesLooked = now;
    }
    if (now == s.Looked)
        return;
    const size_t before = s.Uids.size();
    const quint32 lastShown = s.Uids.empty() ? 0 : s.Uids.back();
    for (const IndexEntry& e : s.Box->Entries())
        if (s.Uids.empty() || e.uid > s.Uids.back()) {
            s.Uids.push_back(e.uid);
            Remember(s, e);
        }
    if (s.Uids.size() != before)
        out.Add("* " + Num(s.Uids.size()) + " EXISTS\r\n");
    const auto shownEnd = s.Uids.begin() + qsizetype(before);
    for (const IndexEntry& e : s.Box->Entries()) {
        if (e.modseq <= s.Looked || e.uid > lastShown)
            continue;
        const auto at = std::lower_bound(s.Uids.begin(), shownEnd, e.uid);
        if (at == shownEnd || *at != e.uid)
            continue;   // an expunge not told yet
        const ImapSession::Shown& shown = s.ShownFlags[e.uid];
        if (e.flags != shown.flags || (s.CondStore && e.modseq != shown.modseq)) {
            out.Add("* " + FlagsFetch(s, quint32(at - s.Uids.begin() + 1), e, s.QResync) + "\r\n");
            Remember(s, e);
        }
    }
    s.Looked = now;
}

// "* VANISHED (EARLIER) ..." and the changed flags for a client that knew the folder up to
// a mod-sequence, told only of the UIDs it may still hold.
void Resync(Turn& t, const Known& k)
{
    if (k.validity != t.s.Box->UidValidity())
        return;
    const quint32 held = k.seqs ? StillInPlace(t.s.Uids, *k.seqs, *k.pairs) : 0;
    std::vector<quint32> vanished;
    for (quint32 uid : t.s.Box->ExpungedSince(k.modseq))
        if (uid > held && (!k.uids || k.uids->Contains(uid, t.s.Box->UidNext() - 1)) && !t.s.Box->Find(uid))
            vanished.push_back(uid);
    Stretches out(t.server, t.index);
    if (!vanished.empty())
        out.Add("* VANISHED (EARLIER) " + SetOf(vanished) + "\r\n");
    for (size_t n = 1; n <= t.s.Uids.size(); ++n)
        if (const IndexEntry* e = t.s.Box->Find(t.s.Uids[n - 1]); e && e->modseq > k.modseq)
            out.Add("* " + FlagsFetch(t.s, quint32(n), *e, true) + "\r\n");
}

// SELECT's parameters: CONDSTORE, QRESYNC (...); false when QRESYNC is malformed or not enabled.
bool ReadSelect(const Turn& t, bool* condStore, std::optional<Known>* known)
{
    const std::vector<Arg> none;
    const std::vector<Arg>& params = t.command.args.size() > 1 && t.command.args[1].kind == Arg::List ? t.command.args[1].items : none;
    for (size_t i = 0; i < params.size(); ++i) {
        *condStore = *condStore || params[i].IsAtom("CONDSTORE");
        if (!params[i].IsAtom("QRESYNC"))
            continue;
        if (!t.s.QResync || i + 1 >= params.size() || params[i + 1].kind != Arg::List || !(*known = ReadKnown(params[++i].items)))
            return false;
    }
    return true;
}

void Select(Turn& t)
{
    const auto name = t.Mailbox(0);
    const QString path = name ? SelectablePath(t.s.Home, *name) : QString();
    t.s.SavedUids.clear();
    if (t.s.state == ImapSession::State::Selected) {
        t.s.Deselect();
        t.Untagged("OK [CLOSED] Previous mailbox closed");
    }
    std::optional<Known> known;
    bool condStore = false;
    if (!name)
        return t.Bad("SELECT wants a mailbox name");
    if (!ReadSelect(t, &condStore, &known))
        return t.Bad("QRESYNC wants ENABLE QRESYNC, a UIDVALIDITY, a mod-sequence and known UIDs");
    if (path.isEmpty())
        return t.No("[NONEXISTENT] No such mailbox");
    try {
        t.s.Box = MailboxIndex::Open(path);
        t.s.Box->Refresh();
        KeepLoaded(t.s.Box);
    } catch (const Failure& f) {
        t.s.Box.reset();
        return t.No("[SERVERBUG] " + f.description.toUtf8());
    }
    ImapSession& s = t.s;
    s.state = ImapSession::State::Selected;
    s.BoxName = *name;
    s.ReadOnly = t.command.name == "EXAMINE";
    for (const IndexEntry& e : s.Box->Entries()) {
        s.Uids.push_back(e.uid);
        Remember(s, e);
    }
    s.Looked = s.ExpungesLooked = s.Box->HighestModSeq();
    Server* server = &t.server;
    const qint16 index = t.index;
    ImapSession* session = &s;
    const std::shared_ptr<MailboxIndex> box = s.Box;
    const int id = box->Watch([server, index, session] {
        session->Changed = true;
        if (Connecter* c = server->Session(index); c && c->Step() == int(ImapStep::Idle))
            Report(*server, index, *session, true);
    });
    s.Watching = std::shared_ptr<void>(nullptr, [box, id](void*) { box->Unwatch(id); });
    s.CondStore = s.CondStore || condStore;
    t.Untagged("FLAGS (" + SystemFlags + ")");
    t.Untagged("OK [PERMANENTFLAGS (" + SystemFlags + " \\*)] Flags permitted");
    t.Untagged(Num(s.Uids.size()) + " EXISTS");
    if (!s.Rev2)
        t.Untagged("0 RECENT");   // IMAP4rev2 has no \\Recent
    t.Untagged("OK [UIDVALIDITY " + Num(s.Box->UidValidity()) + "] UIDs valid");
    t.Untagged("OK [UIDNEXT " + Num(s.Box->UidNext()) + "] Predicted next UID");
    t.Untagged("OK [HIGHESTMODSEQ " + Num(s.Box->HighestModSeq()) + "] Highest");
    if (s.Rev2)
        t.Untagged(ListOf(t, s.BoxName, *t.Text(0)));
    if (known)
        Resync(t, *known);
    t.Ok(QByteArray(s.ReadOnly ? "[READ-ONLY] " : "[READ-WRITE] ") + t.command.name + " completed");
}

void Close(Turn& t)
{
    if (t.command.name == "CLOSE" && !t.s.ReadOnly) {
        QList<quint32> deleted;
        for (const IndexEntry& e : t.s.Box->Entries())
            if (e.Has(Deleted))
                deleted << e.uid;
        t.s.Box->Expunge(deleted);
    }
    t.s.SavedUids.clear();
    t.s.Deselect();
    t.Ok(t.command.name + " completed");
}

void Expunge(Turn& t)
{
    const auto chosen = IsUid(t) ? Chosen(t, 0) : std::optional<std::vector<quint32>>(std::vector<quint32>{});
    if (!chosen)
        return t.Bad("Malformed sequence set");
    if (t.s.ReadOnly)
        return t.No("[READ-ONLY] Mailbox is read-only");
    QList<quint32> deleted;
    for (size_t n = 1; n <= t.s.Uids.size(); ++n) {
        const IndexEntry* e = t.s.Box->Find(t.s.Uids[n - 1]);
        if (e && e->Has(Deleted) && (!IsUid(t) || std::binary_search(chosen->begin(), chosen->end(), quint32(n))))
            deleted << e->uid;
    }
    t.s.Box->Expunge(deleted);
    Report(t.server, t.index, t.s, true);
    t.Ok("[HIGHESTMODSEQ " + Num(t.s.Box->HighestModSeq()) + "] " + t.command.name + " completed");
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
                t.s.Box->Store(uid, MailboxIndex::FlagMode::Add, {"\\Seen"});
                e = t.s.Box->Find(uid);
                Remember(t.s, *e);
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

void CopyMove(Turn& t)
{
    const auto chosen = Chosen(t, 0);
    const auto name = t.Mailbox(1);
    if (!chosen || !name || t.command.args.size() != 2)
        return t.Bad(t.command.name + " wants a set and a mailbox");
    const bool move = t.command.name.endsWith("MOVE");
    if (move && t.s.ReadOnly)
        return t.No("[READ-ONLY] Mailbox is read-only");
    const QString path = SelectablePath(t.s.Home, *name);
    if (path.isEmpty())
        return t.No("[TRYCREATE] No such mailbox");
    std::vector<quint32> from, to;
    try {
        const std::shared_ptr<MailboxIndex> target = MailboxIndex::Open(path);
        for (quint32 seq : *chosen)
            if (const quint32 uid = t.s.Uids[seq - 1]; t.s.Box->Find(uid)) {
                to.push_back(t.s.Box->CopyTo(uid, *target));
                from.push_back(uid);
            }
        const QByteArray code = from.empty() ? QByteArray() : "[COPYUID " + Num(target->UidValidity()) + ' ' + SetOf(from) + ' ' + SetOf(to) + "] ";
        if (!move)
            return t.Ok(code + "COPY completed");
        if (!code.isEmpty())
            t.Untagged("OK " + code + "Moved");
        t.s.Box->Expunge(QList<quint32>(from.begin(), from.end()));
    } catch (const Failure& f) {
        return t.No(f.description.toUtf8());
    }
    Report(t.server, t.index, t.s, true);
    t.Ok(t.command.name + " completed");
}

}
