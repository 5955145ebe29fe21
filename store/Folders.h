#pragma once
// The IMAP folders of an account. INBOX is the account's mailbox folder itself (the one POP3
// serves); every other folder lives below it where POP3 never looks, one folder on disk per
// name, the hierarchy delimiter "/" standing for a level. A name can never reach outside the
// account's folder.
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <vector>

namespace Folders {

inline constexpr char Delimiter = '/';
// The mark of a folder that is only its children's parent (\Noselect): it has no index.
inline constexpr char NoselectMark[] = ".imap-noselect";

// The folder on disk of the IMAP name `name` (UTF-8, delimiter "/") in the account whose
// mailbox folder is `home`: `home` itself for INBOX in any letter case, "" when the name
// cannot be a folder (empty level, "." or "..", NUL, a level too long).
QString PathOf(const QString& home, const QString& name);

// Sent, Drafts, Trash, Junk and Archive with their special-use attributes, made when missing
// (the first login). Throws Failure.
void MakeSpecial(const QString& home);
// The folder special mail is filed into (Junk for QuarantineToJunk), made when missing.
QString JunkPath(const QString& home);

struct Info {
    QString name;            // as IMAP shows it, INBOX first
    QStringList attributes;  // \HasChildren or \HasNoChildren, \Noselect, \Sent, \Junk, ...
    bool subscribed = false;
};
// Every folder of the account, INBOX first, then by name.
std::vector<Info> List(const QString& home);

// Each throws Failure with a text fit for a NO reply: the name taken (Err::FileExists),
// missing (Err::FileNotFound), INBOX where INBOX cannot be used (Err::PermissionDenied), a
// name that cannot be a folder (Err::InvalidArgument), a folder with children whose own
// messages are gone already (Err::PathAccess). A folder deleted while it has children stays
// as their parent, \Noselect, until it is created again.
void Create(const QString& home, const QString& name);
void Delete(const QString& home, const QString& name);   // its messages too; children stay
void Rename(const QString& home, const QString& from, const QString& to);   // children move along;
                                                                             // INBOX's messages move, INBOX stays
void Subscribe(const QString& home, const QString& name, bool on);
// The subscribed names, folders or not (LSUB, LIST (SUBSCRIBED)).
QStringList Subscriptions(const QString& home);

}
