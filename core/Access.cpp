#include "core/Access.h"
#include "core/Failure.h"
#include "core/PerAddressLog.h"
#include "core/Server.h"
#include "core/TextDatabase.h"
#include "core/mdlCommon.h"

#include <QDateTime>
#include <QHash>
#include <QHostAddress>

namespace Access {
namespace {

QHostAddress AddressOf(const QByteArray& peer)
{
    return QHostAddress(QString::fromLatin1(peer.startsWith("IPv6:") ? peer.mid(5) : peer));
}

struct Failures {
    int count = 0;
    qint64 last = 0;   // ms since the epoch
};
QHash<QByteArray, Failures>& Book()
{
    static QHash<QByteArray, Failures> book;
    return book;
}
PerAddressLog& FailureLog()
{
    static PerAddressLog log;
    return log;
}
constexpr qint64 Forget = 15 * 60 * 1000;

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

bool MayRelay(const QByteArray& peer)
{
    const QHostAddress client = AddressOf(peer);
    if (client.isNull())
        return false;
    static QString parsedFrom;
    static QList<QPair<QHostAddress, int>> blocks;
    if (parsedFrom != mdlCommon::RelayNetworks || blocks.isEmpty()) {
        parsedFrom = mdlCommon::RelayNetworks;
        blocks.clear();
        for (const QString& entry : mdlCommon::RelayNetworks.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
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

int LoginDelayMs(const QByteArray& peer)
{
    const auto it = Book().constFind(peer);
    if (it == Book().constEnd() || it->count == 0 || QDateTime::currentMSecsSinceEpoch() - it->last > Forget)
        return 0;
    return int(std::min<qint64>(16000, qint64(250) << std::min(it->count - 1, 6)));
}

QByteArray LoginResult(const QByteArray& peer, bool ok)
{
    if (ok) {
        Book().remove(peer);
        FailureLog().Forget(peer);
        return {};
    }
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (Book().size() > PerAddressLog::MaxAddresses)   // a flood of addresses: start over rather than grow
        Book().clear();
    Failures& f = Book()[peer];
    if (now - f.last > Forget)
        f.count = 0;
    ++f.count;
    f.last = now;
    if (FailureLog().Note(peer, now) < 0)
        return {};
    return "Failed logins from " + peer + ": " + QByteArray::number(f.count) + "; its next login waits "
           + QByteArray::number(LoginDelayMs(peer)) + " ms";
}

void AnswerLogin(Server& server, qint16 index, const QByteArray& reply, bool ok)
{
    const QByteArray peer = server.PeerAddress(index);
    const int delay = LoginDelayMs(peer);
    if (const QByteArray line = LoginResult(peer, ok); !line.isEmpty())
        server.Log(line);
    server.SendReplyAfter(index, reply, ok ? 0 : delay);
}

}
