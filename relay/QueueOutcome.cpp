// What becomes of each recipient once an attempt is decided: delivered, bounced with a notice,
// given up at expiry, or put off to its next attempt; and the queue file written to match.
#include "core/Failure.h"
#include "core/Server.h"
#include "core/mdlCommon.h"
#include "relay/Bounce.h"
#include "relay/Queue.h"
#include "relay/RelayHost.h"

#include <QDateTime>
#include <QPointer>
#include <algorithm>
#include <set>

namespace {

QByteArray Time(qint64 secs) { return QDateTime::fromSecsSinceEpoch(secs).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")).toLatin1(); }

}

void Queue::Ended(const QString& id, quint64 key, const QByteArray& reply, RelayStep step, const QList<QByteArray>& rcpt)
{
    Item* item = Find(id, key);
    if (!item)
        return;
    Attempt& a = item->attempts[key];
    a.index = -1;
    const bool delivered = step == RelayStep::TextSent && reply.startsWith('2');
    // No greeting from this exchanger, or no TLS its policy asks for: the next one, within the
    // same attempt.
    const bool policy = reply.startsWith(PolicyFailure::Dane) || reply.startsWith(PolicyFailure::Sts);
    if (!delivered && (step == RelayStep::Connecting || policy) && a.host + 1 < a.hosts.size()) {
        for (const QByteArray& to : a.to)
            Log("Queue " + id.toLatin1() + " <" + to + ">: " + a.hosts.value(a.host).toUtf8() + " " + OneLine(reply) + "; trying the next exchanger");
        ++a.host;
        return Connect(*item, key);
    }
    // A kept connection that refused RSET (or ended on it) carries no more: a fresh one, at once.
    if (step == RelayStep::RsetSent) {
        for (const QByteArray& to : a.to)
            Log("Queue " + id.toLatin1() + " <" + to + ">: RSET failed on a kept connection (" + OneLine(reply) + "); on a new connection");
        return Connect(*item, key);
    }
    // A refusal of the envelope or the message is final; one of the greeting or EHLO is not.
    // A recipient refused at RCPT is decided by its own reply, the others by the last one.
    std::vector<Outcome> outcomes;
    for (qsizetype i = 0; i < qsizetype(a.to.size()); ++i) {
        const bool own = i < rcpt.size() && !RcptAccepted(rcpt[i]);
        const QByteArray& said = own ? rcpt[i] : reply;
        const RelayStep at = own ? RelayStep::RcptSent : step;
        const bool taken = !own && delivered;
        outcomes.push_back({said, taken, !taken && said.startsWith('5') && int(at) >= int(RelayStep::MailSent) && int(at) <= int(RelayStep::TextSent)});
    }
    Finish(*item, key, outcomes);
}

void Queue::FinishAll(Item& item, quint64 key, const QByteArray& reply, bool permanent)
{
    Finish(item, key, std::vector<Outcome>(item.attempts[key].to.size(), Outcome{reply, false, permanent}));
}

void Queue::Finish(Item& item, quint64 key, const std::vector<Outcome>& outcomes)
{
    const Attempt a = std::move(item.attempts[key]);
    item.attempts.erase(key);
    --running_;
    const QString host = a.hosts.value(a.host);
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const qint64 expiry = item.m.accepted + server_->Config().RelayExpire;
    std::set<QByteArray> done;
    bool deferred = false;
    for (size_t i = 0; i < a.to.size(); ++i) {
        item.running.erase(a.to[i]);
        const auto r = std::find_if(item.m.recipients.begin(), item.m.recipients.end(), [&](const QueuedRecipient& q) { return q.to == a.to[i]; });
        if (r == item.m.recipients.end())
            continue;
        const Outcome& o = outcomes[i];
        r->reply = OneLine(o.reply);
        const QByteArray what = "Queue " + item.m.id.toLatin1() + " <" + r->to + ">: ";
        if (o.delivered) {
            Log(what + "delivered to " + host.toUtf8() + " (" + r->reply + ")");
        } else if (o.permanent) {
            Log(what + "bounced (" + r->reply + ")");
            Bounce(item, *r, host, o.reply, false);
        } else if (now >= expiry) {
            Log(what + "expired after " + QByteArray::number(r->attempts) + " attempts (" + r->reply + ")");
            Bounce(item, *r, host, o.reply, true);
        } else {
            const QList<int>& delays = server_->Config().RelayRetry;
            const qint64 delay = delays.isEmpty() ? 60 : delays[std::min<qsizetype>(r->attempts, delays.size()) - 1];
            r->next = std::min(now + delay, expiry);
            Due(Destination(*r), r->next);
            Log(what + "deferred " + (relayHost_ ? "by relay host " + relayHost_->shown + " " : QByteArray()) + "(" + r->reply + "); next attempt "
                + Time(r->next) + ", in " + QByteArray::number(r->next - now) + " s");
            deferred = true;
            continue;
        }
        done.insert(r->to);
    }
    auto& rs = item.m.recipients;
    rs.erase(std::remove_if(rs.begin(), rs.end(), [&](const QueuedRecipient& q) { return done.count(q.to) > 0; }), rs.end());
    if (rs.empty()) {
        const QString id = item.m.id;
        dirty_.erase(id);
        QueueFile::Remove(id);
        items_.erase(id);   // `item` is gone from here on
    } else if (!deferred) {
        // Written within a second, once for all the copies of the message settled by then: a
        // stop before that only makes a copy go out twice.
        dirty_.insert(item.m.id);
    } else {
        dirty_.erase(item.m.id);
        Save(item);
    }
    Kick();
}

void Queue::Save(Item& item)
{
    try {
        QueueFile::Save(item.m);
    } catch (const Failure& f) {
        Log("Queue " + item.m.id.toLatin1() + ": cannot save: " + f.text());
    }
}

void Queue::Bounce(Item& item, const QueuedRecipient& r, const QString& host, const QByteArray& reply, bool expired)
{
    const QByteArray what = "Queue " + item.m.id.toLatin1() + " <" + r.to + ">: ";
    if (item.m.from.isEmpty()) {
        Log(what + "no notice: the message is itself a notice");
        return;
    }
    // The notice quotes the header, which BounceMessage takes from the first 64 KiB.
    QByteArray original;
    try {
        original = QueueFile::Start(item.m.id, MaxQuotedHeader + 4);
    } catch (const Failure&) {
    }
    BounceFacts facts{item.m.from, r.to, reply, host.toUtf8(), original, QDateTime::fromSecsSinceEpoch(item.m.accepted), expired};
    SendNotice(*server_, notices_, facts, [self = QPointer<Queue>(this), what](const QByteArray& line) {
        if (self)
            self->Log(what + line);
    });
}
