#include "store/Aliases.h"
#include "mail/Domain.h"
#include "core/Failure.h"
#include "core/Settings.h"
#include "core/TextDatabase.h"
#include "core/mdlCommon.h"

#include <QRegularExpression>
#include <QStringList>

namespace Aliases {
namespace {

// A table that cannot be read is said once per kind of fault, not at every message.
void Trouble(const QString& text)
{
    static QString last;
    if (text != last)
        mdlCommon::Report(text);
    last = text;
}

// The rows a statement over the aliases table finds; none when there is no table or file.
QList<QStringList> Rows(const Settings& settings, const QString& sql, const QStringList& params)
{
    const QString table = Table(settings);
    if (table.isEmpty())
        return {};
    try {
        return mdlCommon::DbConnection().Execute(sql.arg(table), params).rows;
    } catch (const Failure& f) {
        if (f.number != Err::FileNotFound)
            Trouble(QStringLiteral("SenderAliases: %1").arg(QString::fromUtf8(f.text())));
    }
    return {};
}

// The served domain's in any letter case, with or without a final dot ("" is it too).
bool Served(const Mail::Domain& domain) { return domain.IsEmpty() || domain.IsServed(mdlCommon::ServerDomain); }

}

QString Table(const Settings& settings)
{
    const QString name = settings.SenderAliases.trimmed();
    if (name.isEmpty())
        return {};
    static const QRegularExpression shape(QStringLiteral("^[A-Za-z_][A-Za-z0-9_]*\\.txt$"), QRegularExpression::CaseInsensitiveOption);
    if (!shape.match(name).hasMatch() || name.compare(QLatin1String("Users.txt"), Qt::CaseInsensitive) == 0
        || name.compare(QLatin1String("DomainMX.txt"), Qt::CaseInsensitive) == 0) {
        Trouble(QStringLiteral("Setting SenderAliases=\"%1\" is not a table file name of the program folder (such as Aliases.txt); no aliases are used").arg(name));
        return {};
    }
    return name;
}

QString MailIdOf(const Settings& settings, const QString& localPart)
{
    if (localPart.isEmpty())
        return {};
    // Blanks and a final dot of an Address do not count, nor letter case.
    const auto rows = Rows(settings, QStringLiteral("Select u.MailID From %1 a Join Users.txt u On u.UserName = a.UserName "
                                          "Where rtrim(trim(a.Address), '.') COLLATE NOCASE In (?, ?)"),
                           {localPart + QLatin1Char('@') + mdlCommon::ServerDomain, localPart});
    return rows.isEmpty() ? QString() : rows.first().value(0);
}

bool Owns(const Settings& settings, const QString& user, const QByteArray& address)
{
    if (address.isEmpty())
        return true;
    if (user.isEmpty())
        return false;
    const Mail::Address a = Mail::Address::Parse(address);
    const QString local = QString::fromUtf8(a.local);
    const bool served = Served(a.domain);
    if (served) {
        if (local.compare(user, Qt::CaseInsensitive) == 0)
            return true;
        try {
            const auto r = mdlCommon::DbConnection().Execute(QStringLiteral("Select MailID From Users.txt Where UserName=?"), {user});
            for (const QStringList& row : r.rows)
                if (!local.isEmpty() && local.compare(row.value(0).trimmed(), Qt::CaseInsensitive) == 0)
                    return true;
        } catch (const Failure& f) {
            Trouble(QStringLiteral("Sender check of %1 failed: %2").arg(user, QString::fromUtf8(f.text())));
        }
    }
    const QString full = local + QLatin1Char('@') + (served ? mdlCommon::ServerDomain : QString::fromUtf8(a.domain.Name()));
    const QString bare = served ? local : full;   // a local part alone names the served domain's
    return !Rows(settings, QStringLiteral("Select 1 From %1 Where UserName = ? And rtrim(trim(Address), '.') COLLATE NOCASE In (?, ?)"),
                 {user, full, bare}).isEmpty();
}

}
