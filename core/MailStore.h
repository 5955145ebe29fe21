#pragma once
#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

// The mail store: Users/<MailID>/<yymmdd-hhnnsscc>.eml, one file per message.
namespace MailStore {

// The 15-character stem for a moment: "yymmdd-hhnnss" and the hundredths.
QString Stem(const QDateTime& when);

// True when `name` can be a mailbox folder directly under Users: not empty, not "." or "..",
// no path separator and no NUL.
bool IsMailboxName(const QString& name);

// Mailbox folder of an existing account, or "" when `mailId` (trailing blanks dropped)
// names no folder directly under Users.
QString MailboxFolder(const QString& mailId);

// Stores one message in `folder` under the name of the present moment, moving on to the
// next free hundredth when the name is taken. The file appears whole or not at all and
// is on disk before this returns. Returns the file name. Throws Failure.
QString Store(const QString& folder, const QByteArray& content, const QDateTime& when = QDateTime::currentDateTime());

// Removes what deliveries cut short by a crash or power loss left in the mailboxes: their
// temporary files (".incoming-*"), which never became messages. Call it before any
// delivery starts. Returns one line per file removed, for the log.
QStringList RemoveUnfinished();

}
