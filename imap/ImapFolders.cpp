// The account's folders: LIST and LSUB (with LIST-EXTENDED and LIST-STATUS), STATUS, APPEND,
// CREATE, DELETE, RENAME, SUBSCRIBE and UNSUBSCRIBE, and the folders made at the first login.
#include "core/Failure.h"
#include "core/mdlCommon.h"
#include "imap/ImapTurn.h"
#include "store/Folders.h"
#include "store/MailboxIndex.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLocale>
#include <QSet>
#include <QRegularExpression>
#include <deque>

namespace Imap {

namespace {

QByteArray Num(quint64 n) { return QByteArray::number(n); }

// A folder name as a reply writes it: an atom where it can be, else a quoted string.
QByteArray Quoted(const Turn& t, const QString& name)
{
    const QByteArray utf8 = t.Named(name);
    const bool atom = !utf8.isEmpty() && std::all_of(utf8.begin(), utf8.end(), [](char c) {
        return uchar(c) > 0x20 && uchar(c) < 0x7f && !QByteArrayView("(){\"\\%*]").contains(c);
    });
    return atom ? utf8 : '"' + QByteArray(utf8).replace('\\', "\\\\").replace('"', "\\\"") + '"';
}

// A LIST pattern: "*" matches anything, "%" anything but a level's end.
QRegularExpression Pattern(const QString& pattern)
{
    QString re;
    for (const QChar c : pattern)
        re += c == u'*' ? QStringLiteral(".*") : c == u'%' ? QStringLiteral("[^/]*") : QRegularExpression::escape(c);
    return QRegularExpression(QRegularExpression::anchoredPattern(re), QRegularExpression::DotMatchesEverythingOption);
}

// "(MESSAGES 3 UNSEEN 1 ...)" of the items asked for; throws Failure.
QByteArray StatusOf(const QString& path, const std::vector<Arg>& items)
{
    const std::shared_ptr<MailboxIndex> box = MailboxIndex::Open(path);
    box->Refresh();
    const std::vector<IndexEntry>& entries = box->Entries();
    const auto count = [&](const char* flag, bool has) {
        return Num(std::count_if(entries.begin(), entries.end(), [&](const IndexEntry& e) { return e.Has(flag) == has; }));
    };
    QByteArrayList out;
    for (const Arg& a : items) {
        const QByteArray item = a.text.toUpper();
        QByteArray value;
        if (item == "MESSAGES") value = Num(entries.size());
        else if (item == "UIDNEXT") value = Num(box->UidNext());
        else if (item == "UIDVALIDITY") value = Num(box->UidValidity());
        else if (item == "UNSEEN") value = count("\\Seen", false);
        else if (item == "DELETED") value = count("\\Deleted", true);
        else if (item == "RECENT") value = "0";
        else if (item == "HIGHESTMODSEQ") value = Num(box->HighestModSeq());
        else if (item == "SIZE") {
            qint64 size = 0;
            for (const IndexEntry& e : entries) size += e.size;
            value = Num(quint64(size));
        } else
            throw Failure(Err::InvalidArgument, QStringLiteral("Unknown STATUS item"));
        out << item + ' ' + value;
    }
    return '(' + out.join(' ') + ')';
}

struct ListRequest {
    bool subscribedOnly = false, showSubscribed = false, specialOnly = false;
    bool recursive = false;   // RECURSIVEMATCH: a parent of what is selected tells so (CHILDINFO)
    const Arg* status = nullptr;   // RETURN (STATUS (...))
    QStringList patterns;
};

// LIST [(selection)] reference pattern(s) [RETURN (options)]; LSUB reference pattern.
std::optional<ListRequest> ListArgs(const Turn& t)
{
    ListRequest r;
    const std::vector<Arg>& args = t.command.args;
    size_t i = 0;
    if (!args.empty() && args[0].kind == Arg::List)
        for (const Arg& o : args[i++].items) {
            r.subscribedOnly = r.subscribedOnly || o.IsAtom("SUBSCRIBED");
            r.specialOnly = r.specialOnly || o.IsAtom("SPECIAL-USE");
            r.recursive = r.recursive || o.IsAtom("RECURSIVEMATCH");
        }
    if (args.size() < i + 2 || args[i].kind == Arg::List)
        return std::nullopt;
    const auto reference = MailboxName(args[i].text, t.s.Utf8Names());
    for (const Arg& p : args[i + 1].kind == Arg::List ? args[i + 1].items : std::vector<Arg>{args[i + 1]}) {
        const auto pattern = MailboxName(p.text, t.s.Utf8Names());
        if (!reference || !pattern)
            return std::nullopt;
        r.patterns << *reference + *pattern;
    }
    if (args.size() > i + 3 && args[i + 2].IsAtom("RETURN") && args[i + 3].kind == Arg::List) {
        const std::vector<Arg>& options = args[i + 3].items;
        for (size_t k = 0; k < options.size(); ++k) {
            r.showSubscribed = r.showSubscribed || options[k].IsAtom("SUBSCRIBED");
            if (options[k].IsAtom("STATUS") && k + 1 < options.size() && options[k + 1].kind == Arg::List)
                r.status = &options[k + 1];
        }
    }
    r.subscribedOnly = r.subscribedOnly || t.command.name == "LSUB";
    r.showSubscribed = r.showSubscribed || r.subscribedOnly;
    return r;
}

// RECURSIVEMATCH with SUBSCRIBED: the folders with a subscribed folder below them that the client
// would not hear of otherwise: one the patterns leave out (`hidden`), or any (`any`), for a folder
// listed anyway. Each subscribed folder marks its parents once: an account may have many folders.
template <typename Matches>
void SubscribedBelow(const std::vector<Folders::Info>& folders, const Matches& matches, QSet<QString>& any, QSet<QString>& hidden)
{
    for (const Folders::Info& g : folders) {
        if (!g.subscribed)
            continue;
        const bool unmatched = !matches(g.name);
        for (qsizetype at = g.name.lastIndexOf(QLatin1Char(Folders::Delimiter)); at > 0;
             at = g.name.lastIndexOf(QLatin1Char(Folders::Delimiter), at - 1)) {
            any.insert(g.name.left(at));
            if (unmatched)
                hidden.insert(g.name.left(at));
        }
    }
}

}

QString SelectablePath(const QString& home, const QString& name)
{
    const QString path = Folders::PathOf(home, name);
    if (path.isEmpty() || !QDir(path).exists() || QFile::exists(path + QLatin1Char('/') + QLatin1String(Folders::NoselectMark)))
        return {};
    return path;
}

namespace {

constexpr size_t KeptFolders = 4;
constexpr qint64 KeptMs = 120000;

// The folders selected last, each with when it is let go.
std::deque<std::pair<std::shared_ptr<MailboxIndex>, QDeadlineTimer>>& Kept()
{
    static std::deque<std::pair<std::shared_ptr<MailboxIndex>, QDeadlineTimer>> kept;
    static const bool cleared = (qAddPostRoutine([] { Kept().clear(); }), true);   // before the event loop goes
    Q_UNUSED(cleared);
    return kept;
}

}

void KeepLoaded(const std::shared_ptr<MailboxIndex>& box)
{
    auto& kept = Kept();
    std::erase_if(kept, [&](const auto& k) { return k.first == box || k.second.hasExpired(); });
    kept.emplace_back(box, QDeadlineTimer(KeptMs));
    if (kept.size() > KeptFolders)
        kept.pop_front();
}

QByteArray ListOf(const Turn& t, const QString& name, const QByteArray& sent)
{
    const QString given = QString::fromUtf8(sent);
    const QByteArray old = given == given.normalized(QString::NormalizationForm_C) ? QByteArray() : " (\"OLDNAME\" (" + Quoted(t, given) + "))";
    const QString path = Folders::PathOf(t.s.Home, name);
    for (const Folders::Info& f : Folders::List(t.s.Home))
        if (Folders::PathOf(t.s.Home, f.name) == path)
            return "LIST (" + f.attributes.join(' ').toUtf8() + ") \"/\" " + Quoted(t, f.name) + old;
    return "LIST () \"/\" " + Quoted(t, name) + old;
}

void List(Turn& t)
{
    const auto r = ListArgs(t);
    if (!r)
        return t.Bad(t.command.name + " wants a reference and a mailbox pattern");
    if (r->recursive && !r->subscribedOnly && !r->specialOnly)
        return t.Bad("RECURSIVEMATCH wants another selection option");
    if (r->patterns == QStringList{QString()})
        return t.Untagged(t.command.name + " (\\Noselect) \"/\" \"\""), t.Ok(t.command.name + " completed");
    std::vector<QRegularExpression> patterns;
    for (const QString& p : r->patterns)
        patterns.push_back(Pattern(p.startsWith(QLatin1String("INBOX"), Qt::CaseInsensitive) ? QStringLiteral("INBOX") + p.mid(5) : p));
    const auto matches = [&](const QString& name) {
        return std::any_of(patterns.begin(), patterns.end(), [&](const QRegularExpression& p) { return p.match(name).hasMatch(); });
    };
    const std::vector<Folders::Info> folders = Folders::List(t.s.Home);
    QSet<QString> belowAny, belowHidden;
    if (r->recursive && r->subscribedOnly)
        SubscribedBelow(folders, matches, belowAny, belowHidden);
    for (const Folders::Info& f : folders) {
        QStringList attributes = f.attributes;
        if (r->showSubscribed && f.subscribed)
            attributes << QStringLiteral("\\Subscribed");
        const bool special = attributes.size() > attributes.filter(QRegularExpression("^\\\\(Has|No)")).size();
        const bool childInfo = (f.subscribed ? belowAny : belowHidden).contains(f.name);
        if (!matches(f.name) || (r->subscribedOnly && !f.subscribed && !childInfo) || (r->specialOnly && !special))
            continue;
        t.Untagged(t.command.name + " (" + attributes.join(' ').toUtf8() + ") \"/\" " + Quoted(t, f.name)
                   + (childInfo ? " (\"CHILDINFO\" (\"SUBSCRIBED\"))" : ""));
        if (r->status && !attributes.contains(QStringLiteral("\\Noselect"))) {
            try {
                t.Untagged("STATUS " + Quoted(t, f.name) + ' ' + StatusOf(Folders::PathOf(t.s.Home, f.name), r->status->items));
            } catch (const Failure& fail) {
                return t.Bad(fail.description.toUtf8());
            }
        }
    }
    t.Ok(t.command.name + " completed");
}

void Status(Turn& t)
{
    const auto name = t.Mailbox(0);
    if (!name || t.command.args.size() != 2 || t.command.args[1].kind != Arg::List)
        return t.Bad("STATUS wants a mailbox and a list of items");
    const QString path = SelectablePath(t.s.Home, *name);
    if (path.isEmpty())
        return t.No("[NONEXISTENT] No such mailbox");
    try {
        t.Untagged("STATUS " + Quoted(t, *name) + ' ' + StatusOf(path, t.command.args[1].items));
    } catch (const Failure& f) {
        return t.Bad(f.description.toUtf8());
    }
    t.Ok("STATUS completed");
}

// APPEND mailbox [(flags)] ["date-time"] message
void Append(Turn& t)
{
    const std::vector<Arg>& args = t.command.args;
    const auto name = t.Mailbox(0);
    // With UTF-8 enabled the message may come as UTF8 (~{n}...): taken as any other.
    const bool utf8 = t.s.Utf8 && args.size() > 2 && args[args.size() - 2].IsAtom("UTF8") && args.back().items.size() == 1;
    const size_t end = args.size() - (utf8 ? 1 : 0);
    const Arg none;
    const Arg& message = utf8 ? args.back().items[0] : args.empty() ? none : args.back();
    if (!name || end < 2 || end > 4 || message.kind != Arg::String)
        return t.Bad("APPEND wants a mailbox, flags, a date and a message");
    QList<QByteArray> flags;
    QDateTime date = QDateTime::currentDateTimeUtc();
    for (size_t i = 1; i + 1 < end; ++i) {
        if (args[i].kind == Arg::List) {
            for (const Arg& f : args[i].items) flags << f.text;
            continue;
        }
        // " 7-Dec-2026 10:00:00 +0100"
        const QList<QByteArray> parts = args[i].text.simplified().split(' ');
        bool zoned = false;
        const int zone = parts.value(2).toInt(&zoned);
        date = QLocale::c().toDateTime(QString::fromLatin1(parts.value(0) + ' ' + parts.value(1)), QStringLiteral("d-MMM-yyyy HH:mm:ss"));
        if (parts.size() != 3 || !zoned || !date.isValid())
            return t.Bad("Malformed date-time");
        date.setTimeSpec(Qt::UTC);
        date = date.addSecs(-qint64((zone / 100) * 3600 + (zone % 100) * 60));
    }
    const QString path = SelectablePath(t.s.Home, *name);
    if (path.isEmpty())
        return t.No("[TRYCREATE] No such mailbox");
    try {
        const std::shared_ptr<MailboxIndex> box = MailboxIndex::Open(path);
        const quint32 uid = box->Append(message.text, flags, date);
        if (t.s.Box == box)
            Report(t.server, t.index, t.s, false);
        t.Ok("[APPENDUID " + Num(box->UidValidity()) + ' ' + Num(uid) + "] APPEND completed");
    } catch (const Failure& f) {
        t.No(f.description.toUtf8());
    }
}

void ChangeFolder(Turn& t)
{
    const QByteArray& verb = t.command.name;
    const auto name = t.Mailbox(0), second = t.Mailbox(1);
    if (!name || t.command.args.size() != (verb == "RENAME" ? 2u : 1u) || (verb == "RENAME" && !second))
        return t.Bad(verb + " wants " + (verb == "RENAME" ? "two mailbox names" : "a mailbox name"));
    QString folder = *name;
    if (verb == "CREATE" && folder.endsWith(QLatin1Char(Folders::Delimiter)))
        folder.chop(1);
    try {
        if (verb == "CREATE") Folders::Create(t.s.Home, folder);
        else if (verb == "DELETE") Folders::Delete(t.s.Home, folder);
        else if (verb == "RENAME") Folders::Rename(t.s.Home, folder, *second);
        else Folders::Subscribe(t.s.Home, folder, verb == "SUBSCRIBE");
    } catch (const Failure& f) {
        return t.No(f.description.toUtf8());
    }
    t.Ok(verb + " completed");
}

namespace {

// The name a folder should have: an earlier build kept the modified UTF-7 a client sent as the
// name itself ("M&AOQ-rz" for "März"), and names were not kept in NFC. Level by level: one that
// decodes to nothing but ASCII (a name with "&-" in it) stays as it is.
QString RealName(const QString& stored)
{
    const auto ascii = [](const QString& s) { return std::all_of(s.begin(), s.end(), [](QChar c) { return c.unicode() < 0x80; }); };
    QStringList levels = stored.split(QLatin1Char(Folders::Delimiter));
    for (QString& level : levels) {
        const QString real = ascii(level) ? MailboxName(level.toLatin1(), false).value_or(level) : level.normalized(QString::NormalizationForm_C);
        level = ascii(level) && ascii(real) ? level : real;
    }
    return levels.join(QLatin1Char(Folders::Delimiter));
}

// Gives such folders their real name where it is free, parents before their children.
void CarryOver(const ImapSession& s)
{
    for (bool renamed = true; renamed;) {
        renamed = false;
        for (const Folders::Info& f : Folders::List(s.Home)) {
            const QString real = RealName(f.name), path = Folders::PathOf(s.Home, real);
            if (real == f.name || path.isEmpty() || QFile::exists(path))
                continue;
            try {
                Folders::Rename(s.Home, f.name, real);
            } catch (const Failure& fail) {
                mdlCommon::Report(QStringLiteral("IMAP folders of %1: %2").arg(s.User, fail.description));
                continue;
            }
            mdlCommon::Report(QStringLiteral("IMAP: folder \"%1\" of %2 renamed to \"%3\"").arg(f.name, s.User, real));
            renamed = true;
            break;
        }
    }
}

}

void LoggedIn(ImapSession& s)
{
    try {
        CarryOver(s);
        Folders::MakeSpecial(s.Home);
    } catch (const Failure& f) {
        mdlCommon::Report(QStringLiteral("IMAP folders of %1: %2").arg(s.User, f.description));
    }
}

}
