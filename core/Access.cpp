#include "core/Access.h"
#include "core/Failure.h"
#include "core/PerAddressLog.h"
#include "core/Server.h"
#include "core/TextDatabase.h"
#include "core/mdlCommon.h"

#include <QHostAddress>
#include <utility>

namespace Access {
namespace {

QHostAddress AddressOf(const QByteArray& peer)
{
    return QHostAddress(QString::fromLatin1(peer.startsWith("IPv6:") ? peer.mid(5) : peer));
}

QByteArray N(qint64 n) { return QByteArray::number(n); }

// The wait doubles with each failure up to 64 times the first.
constexpr qsizetype MostDoublings = 6;

using Failures = LoginRecords::Failures;

// The records of a login: its address's across all accounts, and its address's for its
// account alone, so that one person's typos do not lock out the others behind the same address.
struct Keys {
    QByteArray address, pair;   // book keys
    QByteArray who;             // for the log: the address, with the account when one is named
};
Keys KeysOf(const QByteArray& peer, const QString& account)
{
    const QByteArray name = account.toUtf8();
    return {peer, peer + '\0' + name, name.isEmpty() ? peer : peer + " for " + name};
}

// The record with what fell out of the window dropped; nullptr when there is none.
Failures* Record(Server& server, const QByteArray& key, qint64 now)
{
    QHash<QByteArray, Failures>& book = server.Logins().book;
    const auto it = book.find(key);
    if (it == book.end())
        return nullptr;
    while (!it->times.empty() && now - it->times.front() >= qint64(server.Config().LoginFailureWindow) * 1000)
        it->times.pop_front();
    return &*it;
}

// The wait after `failures` failures: none, then LoginDelay, doubling up to 64 times it.
qint64 WaitAfter(const Settings& settings, qsizetype failures)
{
    return failures == 0 ? 0 : qint64(settings.LoginDelay) << std::min<qsizetype>(failures - 1, MostDoublings);
}

// One more failure on the record of `key`; true when it reached `limit` and locked it out.
bool Count(Server& server, const QByteArray& key, int limit, qint64 now)
{
    LoginRecords& records = server.Logins();
    if (records.book.size() > PerAddressLog::MaxAddresses && !records.book.contains(key))
        records.book.clear();   // a flood of addresses: start over rather than grow
    Failures* known = Record(server, key, now);   // what fell out of the window goes
    Failures& f = known ? *known : records.book[key];
    f.times.push_back(now);
    while (f.times.size() > size_t(limit))
        f.times.pop_front();
    if (qsizetype(f.times.size()) < limit)
        return false;
    f.lockedUntil = now + qint64(server.Config().LoginLockout) * 1000;
    return true;
}

void Failed(Server& server, const Keys& k, qint64 now)
{
    const Settings& s = server.Config();
    LoginRecords& records = server.Logins();
    const bool pairLocked = Count(server, k.pair, s.LoginFailureLimit, now);
    const bool addressLocked = Count(server, k.address, s.LoginAddressFailureLimit, now);
    const qsizetype count = qsizetype(records.book[k.pair].times.size());
    if (records.failureLog.Note(k.who, now) >= 0)
        server.Log("Failed logins from " + k.who + ": " + N(count) + "; its next login waits " + N(WaitAfter(s, count)) + " ms");
    const auto locked = [&](const QByteArray& who, qsizetype failures) {
        if (records.lockLog.Note(who, now) >= 0)
            server.Log("Logins from " + who + " locked out for " + N(s.LoginLockout) + " s: " + N(failures) + " failures in "
                       + N(s.LoginFailureWindow) + " s");
    };
    if (addressLocked)
        locked(k.address, s.LoginAddressFailureLimit);
    else if (pairLocked)
        locked(k.who, count);
}

}

QString AccountMailId(const QString& user, const QString& password, const char* who)
{
    try {
        const auto r = mdlCommon::DbConnection().Execute(
            QStringLiteral("Select MailID From Users.txt Where UserName=? And Password=?"), {user, password});
        if (!r.rows.isEmpty())
            return r.rows.first().value(0);
    } catch (const Failure& f) {
        mdlCommon::Report(QStringLiteral("%1 of %2 failed: %3").arg(QLatin1String(who), user, QString::fromUtf8(f.text())));
    }
    return {};
}

bool AccountExists(const QString& user)
{
    try {
        return !mdlCommon::DbConnection().Execute(QStringLiteral("Select 1 From Users.txt Where UserName=?"), {user}).rows.isEmpty();
    } catch (const Failure& f) {
        mdlCommon::Report(QStringLiteral("Account check of %1 failed: %2").arg(user, QString::fromUtf8(f.text())));
    }
    return false;
}

bool MayRelay(const Settings& settings, const QByteArray& peer)
{
    const QHostAddress client = AddressOf(peer);
    if (client.isNull())
        return false;
    static QString parsedFrom;
    static QList<QPair<QHostAddress, int>> blocks;
    if (parsedFrom != settings.RelayNetworks || blocks.isEmpty()) {
        parsedFrom = settings.RelayNetworks;
        blocks.clear();
        for (const QString& entry : settings.RelayNetworks.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            const QString e = entry.trimmed();
            auto block = QHostAddress::parseSubnet(e.contains(QLatin1Char('/')) ? e : e + (e.contains(QLatin1Char(':')) ? "/128" : "/32"));
            if (block.first.isNull())
                mdlCommon::Report(QStringLiteral("RelayNetworks: \"%1\" is not an address or block; left out").arg(e));
            else
                blocks << block;
        }
    }
    for (const auto& block : std::as_const(blocks))
        if (client.isInSubnet(block))
            return true;
    return false;
}

void Attempt(Server& server, qint16 index, std::function<bool()> check, std::function<void(Verdict)> answer, const QString& account)
{
    const Keys k = KeysOf(server.PeerAddress(index), account);
    const qint64 now = server.Now();
    Failures* address = Record(server, k.address, now);
    Failures* pair = Record(server, k.pair, now);
    for (auto [f, who] : {std::pair{address, k.address}, std::pair{pair, k.who}}) {
        if (!f || now >= f->lockedUntil)
            continue;
        ++f->refused;
        if (server.Logins().lockLog.Note(who, now) >= 0)
            server.Log("Logins from " + who + " locked out for " + N((f->lockedUntil - now + 999) / 1000) + " s more: "
                       + N(std::exchange(f->refused, 0)) + " refused unchecked since the last such line");
        answer(Verdict::LockedOut);
        return;
    }
    for (const QByteArray* key : {&k.address, &k.pair})
        if (Failures* f = Record(server, *key, now); f && f->times.empty())
            server.Logins().book.remove(*key);
    if (Failures* f = Record(server, k.pair, now)) {
        if (const qint64 wait = f->times.back() + WaitAfter(server.Config(), qsizetype(f->times.size())) - now; wait > 0) {
            // Looked at again once the wait is over: another connection of the address may
            // have failed meanwhile, or been locked out.
            server.After(index, int(wait), [&server, index, check = std::move(check), answer = std::move(answer), account]() mutable {
                Attempt(server, index, std::move(check), std::move(answer), account);
            });
            return;
        }
    }
    const bool ok = check();
    if (!ok)
        Failed(server, k, now);
    answer(ok ? Verdict::Granted : Verdict::Refused);
}

}
