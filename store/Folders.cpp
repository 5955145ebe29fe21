// The folders of an account on disk: below the mailbox folder, in a hidden folder of their
// own (".imap"), one folder per level of the name. Message files and a folder's own files
// sit beside its children's folders; a child's folder name never starts with ".", so it can
// be neither a message nor one of those files.
#include "store/Folders.h"
#include "core/DurableFile.h"
#include "core/Failure.h"
#include "store/MailStore.h"
#include "store/MailboxIndex.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QMap>
#include <QSet>
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Folders {
namespace {

constexpr int MaxLevels = 32;                  // deeper than any client goes, far below PATH_MAX
constexpr qsizetype MaxLevelBytes = 255;       // NAME_MAX
const QString Root = QStringLiteral(".imap");  // hidden: POP3 and the listings never look inside
const QString Unselectable = QLatin1String(NoselectMark);
const QString SubscriptionFile = QStringLiteral(".subscriptions");
const QString Inbox = QStringLiteral("INBOX");

struct Special {
    const char* name;
    const char* attribute;
};
constexpr Special Specials[] = {{"Sent", "\\Sent"}, {"Drafts", "\\Drafts"}, {"Trash", "\\Trash"}, {"Junk", "\\Junk"}, {"Archive", "\\Archive"}};

bool IsInbox(const QString& name) { return name.compare(Inbox, Qt::CaseInsensitive) == 0; }

QByteArray Native(const QString& path) { return QFile::encodeName(path); }

bool IsDir(const QString& path, bool followLinks = false)
{
    struct stat st {};
    const int r = followLinks ? ::stat(Native(path).constData(), &st) : ::lstat(Native(path).constData(), &st);
    return r == 0 && S_ISDIR(st.st_mode);
}

bool Exists(const QString& path)
{
    struct stat st {};
    return ::lstat(Native(path).constData(), &st) == 0;
}

// One level as a file name: "%", "\", control characters and a leading "." are written %XX;
// "" when the level cannot be a folder.
QString Encoded(const QString& level)
{
    if (level.isEmpty() || level == QLatin1String(".") || level == QLatin1String("..") || level.contains(QChar(0)))
        return {};
    const QByteArray utf8 = level.toUtf8();
    QByteArray out;
    for (qsizetype i = 0; i < utf8.size(); ++i) {
        const uchar c = uchar(utf8[i]);
        if (c == '%' || c == '\\' || c < 0x20 || c == 0x7f || (i == 0 && c == '.'))
            out += '%' + QByteArray::number(c, 16).rightJustified(2, '0').toUpper();
        else
            out += char(c);
    }
    return out.size() > MaxLevelBytes ? QString() : QString::fromUtf8(out);
}

QString Decoded(const QString& fileName) { return QString::fromUtf8(QByteArray::fromPercentEncoding(fileName.toUtf8())); }

// The name with INBOX, in any letter case as its first level, spelled "INBOX".
QString Canonical(const QString& name)
{
    const qsizetype slash = name.indexOf(QLatin1Char(Delimiter));
    const QString first = slash < 0 ? name : name.left(slash);
    return IsInbox(first) ? Inbox + name.mid(first.size()) : name;
}

// A name given with one delimiter at its end means the folder before it (RFC 9051 6.3.4).
QString Trimmed(const QString& name) { return name.endsWith(QLatin1Char(Delimiter)) ? name.chopped(1) : name; }

Failure Invalid() { return Failure(Err::InvalidArgument, QStringLiteral("Invalid mailbox name")); }
Failure Missing() { return Failure(Err::FileNotFound, QStringLiteral("No such mailbox")); }
Failure Taken() { return Failure(Err::FileExists, QStringLiteral("Mailbox already exists")); }

QString Checked(const QString& home, const QString& name)
{
    const QString path = PathOf(home, name);
    if (path.isEmpty())
        throw Invalid();
    return path;
}

void Flush(const QString& folder)
{
    if (const int err = DurableFile::FlushFolder(folder))
        throw FailureFromErrno(err, folder);
}

// The folder at `path` below home and every folder above it, made where missing.
void Make(const QString& home, const QString& path)
{
    const QStringList levels = path.mid(home.size() + 1).split(QLatin1Char('/'));
    QString at = home;
    for (const QString& level : levels) {
        const QString parent = at;
        at += QLatin1Char('/') + level;
        if (::mkdir(Native(at).constData(), 0700) == 0)
            Flush(parent);
        else if (errno != EEXIST || !IsDir(at))
            throw FailureFromErrno(errno == EEXIST ? ENOTDIR : errno, at);
    }
}

bool HasChildren(const QString& path)
{
    return !QDir(path).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks).isEmpty();
}

// Removes the folder's own files: messages, index, marks.
void Empty(const QString& path)
{
    for (const QString& f : QDir(path).entryList(QDir::Files | QDir::Hidden | QDir::System))
        if (::unlink(Native(path + QLatin1Char('/') + f).constData()) != 0 && errno != ENOENT)
            throw FailureFromErrno(errno, f);
}

void WriteSubscriptions(const QString& home, const QStringList& names)
{
    Make(home, home + QLatin1Char('/') + Root);
    QByteArray text;
    for (const QString& n : names)
        text += n.toUtf8() + '\n';
    DurableFile::Replace(home + QLatin1Char('/') + Root + QLatin1Char('/') + SubscriptionFile, text, true);
}

// The folders below `dir`, their names starting with `prefix`; true when there is any.
bool Walk(const QString& dir, const QString& prefix, int depth, std::vector<Info>& out)
{
    const QStringList entries = QDir(dir).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks);
    for (const QString& e : entries) {
        const QString path = dir + QLatin1Char('/') + e;
        const QString name = prefix + Decoded(e);
        const size_t at = out.size();
        const bool inbox = depth == 0 && name == Inbox;   // INBOX's children only: INBOX is the mailbox
        if (!inbox)
            out.push_back({name, {}, false});
        const bool children = depth + 1 < MaxLevels && Walk(path, name + QLatin1Char(Delimiter), depth + 1, out);
        if (inbox) {
            out.front().attributes = {children ? QStringLiteral("\\HasChildren") : QStringLiteral("\\HasNoChildren")};
            continue;
        }
        QStringList& attributes = out[at].attributes;
        attributes << (children ? QStringLiteral("\\HasChildren") : QStringLiteral("\\HasNoChildren"));
        if (Exists(path + QLatin1Char('/') + Unselectable))
            attributes << QStringLiteral("\\Noselect");
        for (const Special& s : Specials)
            if (depth == 0 && name == QLatin1String(s.name))
                attributes << QLatin1String(s.attribute);
    }
    return !entries.isEmpty();
}

}

QString PathOf(const QString& home, const QString& name)
{
    if (IsInbox(name))
        return home;
    const QStringList levels = Canonical(name).split(QLatin1Char(Delimiter));
    if (levels.size() > MaxLevels)
        return {};
    QString path = home + QLatin1Char('/') + Root;
    bool onDisk = true;   // every level so far is there: the next one must not be a link
    if (Exists(path) && !IsDir(path))
        return {};
    for (const QString& level : levels) {
        const QString file = Encoded(level);
        if (file.isEmpty())
            return {};
        path += QLatin1Char('/') + file;
        if (onDisk && Exists(path)) {
            if (!IsDir(path))
                return {};
        } else {
            onDisk = false;
        }
    }
    return path;
}

void MakeSpecial(const QString& home)
{
    QStringList made;
    for (const Special& s : Specials) {
        const QString path = Checked(home, QLatin1String(s.name));
        if (!IsDir(path)) {
            Make(home, path);
            made << QLatin1String(s.name);
        }
    }
    if (made.isEmpty())
        return;
    QStringList subscribed = Subscriptions(home);
    for (const QString& n : QStringList{Inbox} + made)
        if (!subscribed.contains(n)) subscribed << n;
    WriteSubscriptions(home, subscribed);
}

QString JunkPath(const QString& home)
{
    const QString path = Checked(home, QStringLiteral("Junk"));
    if (!IsDir(path))
        Make(home, path);
    return path;
}

std::vector<Info> List(const QString& home)
{
    std::vector<Info> out{{Inbox, {QStringLiteral("\\HasNoChildren")}, false}};
    Walk(home + QLatin1Char('/') + Root, {}, 0, out);
    std::sort(out.begin() + 1, out.end(), [](const Info& a, const Info& b) { return a.name < b.name; });
    const QStringList subscribed = Subscriptions(home);
    for (Info& i : out)
        i.subscribed = subscribed.contains(i.name);
    return out;
}

void Create(const QString& home, const QString& name)
{
    if (IsInbox(Trimmed(name)))
        throw Taken();
    const QString path = Checked(home, Trimmed(name));
    if (!IsDir(path))
        return Make(home, path);
    const QString mark = path + QLatin1Char('/') + Unselectable;
    if (!Exists(mark))
        throw Taken();
    if (::unlink(Native(mark).constData()) != 0)
        throw FailureFromErrno(errno, name);
    Flush(path);
}

void Delete(const QString& home, const QString& name)
{
    if (IsInbox(name))
        throw Failure(Err::PermissionDenied, QStringLiteral("INBOX cannot be deleted"));
    const QString path = Checked(home, name);
    if (!IsDir(path))
        throw Missing();
    const QString mark = path + QLatin1Char('/') + Unselectable;
    if (HasChildren(path)) {
        if (Exists(mark))
            throw Failure(Err::PathAccess, QStringLiteral("Mailbox has inferior hierarchical names"));
        Empty(path);
        QFile marker(mark);
        if (!marker.open(QIODevice::WriteOnly))
            throw Failure(Err::PermissionDenied, marker.errorString());
        Flush(path);
        return;
    }
    Empty(path);
    if (::rmdir(Native(path).constData()) != 0)
        throw FailureFromErrno(errno, name);
    Flush(QFileInfo(path).path());
}

namespace {
// INBOX renamed: its messages move to the new folder with their flags, INBOX stays (empty).
void MoveInbox(const QString& home, const QString& path)
{
    QHash<QString, QList<QByteArray>> flags;
    for (const IndexEntry& e : MailboxIndex::Open(home)->Entries())
        if (!e.flags.isEmpty())
            flags.insert(e.name, e.flags);
    Make(home, path);
    for (const MailStore::Message& m : MailStore::List(home)->messages)
        if (::renameat2(AT_FDCWD, Native(home + QLatin1Char('/') + m.name).constData(), AT_FDCWD,
                        Native(path + QLatin1Char('/') + m.name).constData(), RENAME_NOREPLACE) != 0 && errno != ENOENT)
            throw FailureFromErrno(errno, m.name);
    Flush(path);
    Flush(home);
    // Messages with the same flags get them in one change.
    const auto moved = MailboxIndex::Open(path);
    QMap<QList<QByteArray>, QList<quint32>> bySet;
    for (const IndexEntry& e : moved->Entries())
        if (const auto f = flags.constFind(e.name); f != flags.cend())
            bySet[*f] << e.uid;
    for (auto set = bySet.cbegin(); set != bySet.cend(); ++set)
        moved->Store(set.value(), MailboxIndex::FlagMode::Set, set.key());
}
}

void Rename(const QString& home, const QString& from, const QString& to)
{
    const QString target = Trimmed(to);
    if (IsInbox(target))
        throw Taken();
    const QString source = Checked(home, from), path = Checked(home, target);
    if (!IsDir(source))
        throw Missing();
    if (Exists(path))
        throw Taken();
    if (source != home && path.startsWith(source + QLatin1Char('/')))
        throw Failure(Err::InvalidArgument, QStringLiteral("A mailbox cannot move below itself"));
    if (source == home)
        return MoveInbox(home, path);
    const QString parent = QFileInfo(path).path();
    Make(home, parent);
    if (::renameat2(AT_FDCWD, Native(source).constData(), AT_FDCWD, Native(path).constData(), RENAME_NOREPLACE) != 0)
        throw FailureFromErrno(errno, from);
    Flush(parent);
    Flush(QFileInfo(source).path());
    // The subscriptions follow the folder and its children.
    const QString old = Canonical(from), now = Canonical(target);
    QStringList subscribed = Subscriptions(home);
    bool moved = false;
    for (QString& n : subscribed)
        if (n == old || n.startsWith(old + QLatin1Char(Delimiter))) {
            n = now + n.mid(old.size());
            moved = true;
        }
    if (moved)
        WriteSubscriptions(home, subscribed);
}

void Subscribe(const QString& home, const QString& name, bool on)
{
    Checked(home, name);
    const QString n = Canonical(name);
    QStringList subscribed = Subscriptions(home);
    if (subscribed.contains(n) == on)
        return;
    if (on)
        subscribed << n;
    else
        subscribed.removeAll(n);
    WriteSubscriptions(home, subscribed);
}

QStringList Subscriptions(const QString& home)
{
    QFile f(home + QLatin1Char('/') + Root + QLatin1Char('/') + SubscriptionFile);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QStringList names;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (!line.isEmpty()) names << QString::fromUtf8(line);
    return names;
}

}
