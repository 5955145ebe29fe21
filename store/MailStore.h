#pragma once
#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include "core/Server.h"
#include <memory>
#include <vector>

// The mail store: Users/<MailID>/<yymmdd-hhnnsscc>.eml, one file per message; ".del"
// instead of ".eml" while a POP3 session has it marked for deletion. Every rule about
// message files lives here.
namespace MailStore {

// The 15-character stem for a moment: "yymmdd-hhnnss" and the hundredths. It is also the
// message's unique ID (UIDL).
inline constexpr qsizetype StemLength = 15;
QString Stem(const QDateTime& when);

// True when `name` can be a mailbox folder directly under Users: not empty, not "." or "..",
// no path separator and no NUL.
bool IsMailboxName(const QString& name);

// Mailbox folder of an existing account, or "" when `mailId` (trailing blanks dropped)
// names no folder directly under Users.
QString MailboxFolder(const QString& mailId);

// Mailbox folder for the local part of an address: the folder of that name, otherwise the
// one folder whose name differs from it only in letter case; "" when there is none.
QString FolderForLocalPart(const QString& localPart);

// Stores one message (head, then text) in `folder` under the name of the present moment,
// moving on to the next free hundredth when the name is taken. The file appears whole or
// not at all and is on disk before this returns. Returns the file name. Throws Failure.
QString Store(const QString& folder, const QByteArray& head, const QByteArray& text,
              const QDateTime& when = QDateTime::currentDateTime());
inline QString Store(const QString& folder, const QByteArray& content, const QDateTime& when = QDateTime::currentDateTime())
{
    return Store(folder, {}, content, when);
}

// A copy of a message for one mailbox: its folder, the head written above the text, and its
// file name once stored.
struct NewCopy {
    QString folder;
    QByteArray head;
    QString stored;
};
// Stores the text under each copy's head, every copy or none, as Store does; the copies'
// files are flushed together and each folder once. Throws Failure with `failed` the copy
// it concerns, leaving nothing behind.
void StoreAll(std::vector<NewCopy>& copies, const QByteArray& text, size_t& failed,
              const QDateTime& when = QDateTime::currentDateTime());

// Removes a stored message again (a delivery that could not store every copy). 
void Discard(const QString& folder, const QString& name);

struct Message {
    QString name;   // file name, ".eml"
    qint64 size;
};
struct Listing {
    std::vector<Message> messages;
    qint64 bytes = 0;   // their sizes added up
    quint64 device = 0, inode = 0;   // which folder was listed under that name; 0 for none
};
// The unmarked messages of a mailbox, in order of arrival (ascending names). A mailbox once
// listed is kept in memory and brought up to date from the system's notices of what changed
// in its folder, whoever changed it: a login reads the changed names, not thousands of
// entries. A listing handed out never changes afterwards.
std::shared_ptr<const Listing> List(const QString& folder);
// Lists every mailbox once, so that the first login to each finds its listing ready instead
// of reading the folder then. Any thread; returns the folders and messages listed.
std::pair<int, qint64> ListAll();

// Marks a message for deletion (".eml" -> ".del") or takes the mark back; returns the new
// name. Never renames over another file. Throws Failure.
QString Mark(const QString& folder, const QString& name);
QString Unmark(const QString& folder, const QString& name);
// Removes a marked message for good; read-only files stay. Failures are ignored.
void Purge(const QString& folder, const QString& name);

qint64 SizeOf(const QString& folder, const QString& name);        // throws Failure
// A message opened to be sent as it is stored: the reply's stretch is the whole file. Links
// are not followed; a `size` already known (a listing's) saves asking the system. Throws Failure.
FileReply Open(const QString& folder, const QString& name, qint64 size = -1);
// How many bytes of an open message make its head, the blank line and the first `lines`
// lines of its body (the whole message when it has fewer); read in pieces, never whole.
// When they lie within the first 16 KB, `text` gets them too.
qint64 TopLength(const FileReply& message, qint64 lines, QByteArray* text = nullptr);
// The message as stored, with room for `front` bytes before it and `back` after it: a reply
// made around a long message (prepend, append) then needs no copy of it. `expected`: the size
// it likely has, so that it is read without being measured first. Throws Failure.
QByteArray Read(const QString& folder, const QString& name, qsizetype front = 0, qsizetype back = 0, qint64 expected = -1);

// Puts right what a crash or power loss left in the mailboxes: temporary files of
// deliveries cut short are removed, and marks of sessions that never said QUIT are taken
// back. Call it before any connection is served. Returns one line per file, for the log.
QStringList Recover();

}
