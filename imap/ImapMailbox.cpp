// The selected folder: SELECT and EXAMINE, the changes others made told at the moments the
// client may hear them, EXPUNGE, COPY and MOVE, CLOSE and UNSELECT.
#include "core/Failure.h"
#include "imap/ImapFetch.h"
#include "imap/ImapResync.h"
#include "imap/ImapSelected.h"
#include "store/Folders.h"
#include "store/MailboxIndex.h"

#include <QCoreApplication>

#include <algorithm>

namespace Imap {

namespace {

const QByteArray SystemFlags = "\\Answered \\Flagged \\Deleted \\Seen \\Draft";
const char* const Deleted = "\\Deleted";

QByteArray Num(quint64 n) { return QByteArray::number(n); }

QByteArray FlagList(const QList<QByteArray>& flags) { return '(' + flags.join(' ') + ')'; }

}

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

std::optional<SequenceSet> SetArg(const Turn& t, size_t arg)
{
    const SavedSets saved = Saved(t.s);
    return t.Text(arg) ? SequenceSet::Parse(*t.Text(arg), IsUid(t) ? &saved.uids : &saved.seqs) : std::nullopt;
}

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

QByteArray FlagsFetch(const ImapSession& s, quint32 seq, const IndexEntry& e, bool uid)
{
    return Num(seq) + " FETCH (" + (uid ? "UID " + Num(e.uid) + ' ' : QByteArray()) + "FLAGS " + FlagList(e.flags)
           + (s.CondStore ? " MODSEQ (" + Num(e.modseq) + ')' : QByteArray()) + ')';
}

void Remember(ImapSession& s, const IndexEntry& e) { s.ShownFlags[e.uid] = {e.flags, e.modseq}; }

void Told(ImapSession& s, quint64 before)
{
    // Two or more: a watcher refreshed the folder within the change, and found new files.
    const quint64 now = s.Box->HighestModSeq();
    if (now != before + 1)
        return;
    if (s.Looked == before)
        s.Looked = now;
    if (s.ExpungesLooked == before)
        s.ExpungesLooked = now;
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
    s.ReportDue = false;
    const int id = box->Watch([server, index, session] {
        session->Changed = true;
        const Connecter* c = server->Session(index);
        if (!c || c->Step() != int(ImapStep::Idle) || session->ReportDue)
            return;
        // Told once the turn that changed the folder is over: a FETCH that sets \Seen on
        // thousands of messages is one report to each idler, not one a message (each a look
        // at the whole folder).
        session->ReportDue = true;
        const std::weak_ptr<void> watching = session->Watching;
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [server, index, session, watching] {
                if (watching.expired())
                    return;   // the session or its selection is gone
                session->ReportDue = false;
                if (const Connecter* now = server->Session(index); now && now->Step() == int(ImapStep::Idle))
                    Report(*server, index, *session, true);
            },
            Qt::QueuedConnection);
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
