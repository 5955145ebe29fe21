#pragma once
// Which addresses an account has: its own two (UserName@ and MailID@ the served domain, in any
// letter case) and those the aliases table gives it. The table is the file of the program
// folder that the setting SenderAliases names (columns Address,UserName), read through the
// text tables like Users.txt, so a hand edit counts from the next message on; no file, no
// aliases. An Address without "@" is a local part of the served domain.
#include <QByteArray>
#include <QString>

struct Settings;

namespace Aliases {

// The table's name as SQL knows it ("Aliases.txt"), or "" when the setting names none, or
// names no file a table can be (a name of letters, digits and "_" with ".txt", not one of
// the server's own tables).
QString Table(const Settings& settings);

// The mail ID of the account that `localPart` (of the served domain) is an alias of; "" when
// it is none.
QString MailIdOf(const Settings& settings, const QString& localPart);

// Whether the account that logged in as `user` may send as `address` (MAIL FROM or a mailbox
// of From:; without a domain it is the served domain's). The null sender is everyone's.
bool Owns(const Settings& settings, const QString& user, const QByteArray& address);

}
