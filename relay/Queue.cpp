#include "relay/Queue.h"
#include "core/Budget.h"
#include "core/Connecter.h"
#include "core/Failure.h"
#include "core/Server.h"
#include "core/mdlCommon.h"
#include "relay/Bounce.h"
#include "relay/DNS.h"
#include "relay/RelayHost.h"
#include "relay/RelayReply.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QPointer>
#include <unistd.h>
#include <algorithm>
#include <utility>

namespace {

qint64 Now() { return QDateTime::currentSecsSinceEpoch(); }
QByteArray N(qint64 n) { return QByteArray::number(n); }

// As the served domain is told: what follows the first "@", without a final dot.
QByteArray DomainOf(const QByteArray& address)
{
    QByteArray domain = address.mid(address.indexOf('@') + 1);
    if (domain.endsWith('.'))
        domain.chop(1);
    return domain;
}

QByteArray Time(qint64 secs) { return QDateTime::fromSecsSinceEpoch(secs).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")).toLatin1(); }

}

Queue& TheQueue()
{
    static Queue queue;
    return queue;
}

Queue::Queue()
{
    tick_.setInterval(TickMs);
    connect(&tick_, &QTimer::timeout, this, [this] {
        for (const QString& id : std::exchange(dirty_, {}))
            if (const auto it = items_.find(id); it != items_.end())
                Save(it->second);
        Tick();
    });
}

Queue::~Queue() = default;

void Queue::Log(const QByteArray& line)
{
    if (server_)
        server_->Log(line);
    else
        mdlCommon::Report(QString::fromUtf8(line));
}

void Queue::Start(Server& server)
{
    server_ = &server;
    RelayHost::Loaded host = RelayHost::Load();
    relayHost_ = std::move(host.policy);
    relayHostProblem_ = std::move(host.problem);
    for (const QByteArray& line : host.lines)
        Log(line);
    QStringList damaged;
    for (QueuedMessage& m : QueueFile::Read(&damaged)) {
        const QString id = m.id;
        items_[id] = Item{std::move(m), {}};
    }
    for (const QByteArray& line : QueueFile::Tidy(damaged))
        Log(line);
    if (!items_.empty())
        Log("Queue: " + N(qint64(items_.size())) + " messages for " + N(Size()) + " recipients read back");
    tick_.start();
    Kick();
}

RelayTarget::Written Queue::Write(const QByteArray& sender, const std::vector<Copy>& copies, const QByteArray& text)
{
    QueuedMessage m;
    m.from = sender;
    for (const Copy& c : copies)
        m.recipients.emplace_back(c.to, c.head);
    QueueFile::Write(m, text);
    const QString id = m.id;
    return {id, [self = QPointer<Queue>(this), m = std::move(m)]() mutable {
                if (self)
                    self->Add(std::move(m));
            }};
}

void Queue::Add(QueuedMessage m)
{
    QByteArray to;
    for (const QueuedRecipient& r : m.recipients)
        to += (to.isEmpty() ? "<" : ", <") + r.to + ">";
    Log("Queue " + m.id.toLatin1() + ": queued from <" + m.from + "> for " + to);
    if (!server_)
        return;   // on disk: read when the queue starts
    const QString id = m.id;
    items_[id] = Item{std::move(m), {}};
    Kick();
}

int Queue::Size() const
{
    int n = 0;
    for (const auto& [id, item] : items_)
        n += int(item.m.recipients.size());
    return n;
}

int Queue::Flush(const QString& domain, bool subdomains)
{
    int n = 0;
    for (auto& [id, item] : items_)
        for (QueuedRecipient& r : item.m.recipients) {
            const QString d = QString::fromLatin1(DomainOf(r.to));
            const bool match = domain.isEmpty() || d.compare(domain, Qt::CaseInsensitive) == 0
                               || (subdomains && d.endsWith(QLatin1Char('.') + domain, Qt::CaseInsensitive));
            if (!match)
                continue;
            ++n;
            if (!item.running.count(r.to))
                r.next = 0;
        }
    if (n > 0 && server_)
        Kick();
    return n;
}

QueuedRecipient* Queue::Find(const QString& id, const QByteArray& to, Item** item)
{
    const auto it = items_.find(id);
    if (it == items_.end())
        return nullptr;
    for (QueuedRecipient& r : it->second.m.recipients)
        if (r.to == to) {
            if (item) *item = &it->second;
            return &r;
        }
    return nullptr;
}

void Queue::Kick()
{
    // Once a turn of the event loop, however many attempts ended in it: a walk through the
    // queue costs its length.
    if (kicked_)
        return;
    kicked_ = true;
    QTimer::singleShot(0, this, [this] {
        kicked_ = false;
        Tick();
    });
}

void Queue::Tick()
{
    if (!server_)
        return;
    if (QueueFile::TakeFlushRequest())
        Log("Queue: flush asked; " + N(Flush()) + " recipients to try now");
    // Idle connections to the relay host take what is due first (a miss puts one back on the list).
    for (const auto& [index, serial] : std::exchange(idle_, {}))
        if (const Connecter* c = server_->Session(index); c && c->Serial == serial)
            RelayResume(*server_, index);
    const qint64 now = Now();
    std::map<QByteArray, int> perDomain;
    for (const auto& [id, item] : items_)
        for (const auto& [to, attempt] : item.running)
            ++perDomain[Destination(to)];
    const int most = relayHost_ ? MaxRelayHostConnections : MaxPerDomain;
    for (auto& [id, item] : items_) {
        const bool expired = now >= item.m.accepted + mdlCommon::RelayExpire;
        for (QueuedRecipient& r : item.m.recipients) {
            if (const auto a = item.running.find(r.to); a != item.running.end()) {
                // An exchanger that keeps us waiting past the expiry is left, unless it has the
                // whole message already and only its answer is missing.
                const Connecter* c = a->second.index >= 0 ? server_->Session(a->second.index) : nullptr;
                RelaySession* relay = c && c->Serial == a->second.serial ? c->As<RelaySession>() : nullptr;
                if (expired && relay && relay->Step() != RelayStep::TextSent && relay->Step() != RelayStep::QuitSent) {
                    relay->Lost("no answer before the message expired");
                    server_->Release(a->second.index);
                }
                continue;
            }
            int& domain = perDomain[Destination(r.to)];
            if (r.next <= now && running_ < MaxRunning && domain < most) {
                ++domain;
                Begin(item, r);
            }
        }
    }
}

QByteArray Queue::Destination(const QByteArray& to) const { return relayHost_ ? QByteArray() : DomainOf(to).toLower(); }

void Queue::Begin(Item& item, QueuedRecipient& r)
{
    item.running[r.to] = Attempt{};
    ++running_;
    ++r.attempts;
    // The answer comes later even when the table has it, so that nothing here changes the
    // queue while Tick walks through it.
    QPointer<Queue> self(this);
    if (relayHost_) {   // no lookup: the relay host takes every domain
        QTimer::singleShot(0, this, [self, id = item.m.id, to = r.to] {
            if (self)
                self->Resolved(id, to, {self->relayHost_->host}, {});
        });
        return;
    }
    TheDNS().Lookup(QString::fromLatin1(DomainOf(r.to)), [self, id = item.m.id, to = r.to](const QStringList& hosts, const QString& problem) {
        if (self)
            QTimer::singleShot(0, self, [self, id, to, hosts, problem] { self->Resolved(id, to, hosts, problem); });
    });
}

void Queue::Resolved(const QString& id, const QByteArray& to, const QStringList& hosts, const QString& problem)
{
    Item* item = nullptr;
    QueuedRecipient* r = Find(id, to, &item);
    if (!r || !item->running.count(to))
        return;
    if (relayHost_ && !relayHostProblem_.isEmpty())
        return Finish(*item, *r, "relay host not used: " + relayHostProblem_, false, false);
    // A domain that does not exist or takes no mail will not on the next attempt either.
    if (problem == DNS::NoSuchDomain)
        return Finish(*item, *r, "550 5.1.2 Domain " + DomainOf(to) + " does not exist", false, true);
    if (problem == DNS::NullMx)
        return Finish(*item, *r, "556 5.1.10 Domain " + DomainOf(to) + " accepts no mail (null MX)", false, true);
    if (hosts.isEmpty() && !problem.isEmpty())
        return Finish(*item, *r, "lookup failed: " + problem.toUtf8(), false, false);
    // No exchanger: the domain's own address takes its mail.
    Attempt& a = item->running[to];
    a.hosts = hosts.isEmpty() ? QStringList{QString::fromLatin1(DomainOf(to))} : hosts;
    a.host = 0;
    Connect(*item, *r);
}

bool Queue::Prepare(Item& item, QueuedRecipient& r, RelaySession& relay, QByteArray& problem)
{
    FileReply text;
    try {
        text = QueueFile::Open(item.m.id);
    } catch (const Failure& f) {
        problem = "cannot read the queued message: " + f.text();
        return false;
    }
    // The end of data gives the text its last CR LF.
    if (text.EndsWithCrLf())
        text.length -= 2;
    text.head = r.head;
    relay.Text = std::move(text);
    relay.Sender = item.m.from;
    relay.Recipient = r.to;
    // Told from the connection's end, perhaps from inside its release: handled afterwards.
    relay.Done = [self = QPointer<Queue>(this), id = item.m.id, to = r.to](const QByteArray& reply, RelayStep step) {
        if (self && QCoreApplication::instance())
            QTimer::singleShot(0, self, [self, id, to, reply, step] { self->Ended(id, to, reply, step); });
    };
    return true;
}

void Queue::Connect(Item& item, QueuedRecipient& r)
{
    auto relay = std::make_unique<RelaySession>();
    if (QByteArray problem; !Prepare(item, r, *relay, problem))
        return Finish(item, r, problem, false, false);
    const qint16 i = server_->GetFreeIndex();
    if (i < 0)
        return Finish(item, r, "no free connection index", false, false);
    RelaySession& session = *relay;
    auto c = std::make_unique<Connecter>(std::move(relay), int(RelayStep::Connecting));
    if (relayHost_) {
        session.Host = relayHost_;
        session.Next = [self = QPointer<Queue>(this), i, serial = c->Serial](RelaySession& s) { return self && self->Reuse(s, i, serial); };
        session.IdleWait = RelayHostIdleSeconds;
    }
    Attempt& a = item.running[r.to];
    a.index = i;
    a.serial = c->Serial;
    server_->AddSession(i, std::move(c));
    const QString host = a.hosts.value(a.host);
    server_->Log(N(i) + ">Transfer " + DomainOf(r.to));
    Log("Queue " + item.m.id.toLatin1() + " <" + r.to + ">: attempt " + N(r.attempts) + " to "
        + (relayHost_ ? "relay host " + relayHost_->shown : host.toUtf8()));
    server_->Connect(i, host, relayHost_ ? relayHost_->port : SmtpRelayPort);
}

bool Queue::Reuse(RelaySession& relay, qint16 index, quint64 serial)
{
    if (!server_ || running_ >= MaxRunning)
        return false;
    const qint64 now = Now();
    for (auto& [id, item] : items_)
        for (QueuedRecipient& r : item.m.recipients) {
            if (r.next > now || item.running.count(r.to))
                continue;
            QByteArray problem;
            if (!Prepare(item, r, relay, problem))
                continue;   // its own attempt says why
            item.running[r.to] = Attempt{{relayHost_->host}, 0, index, serial};
            ++running_;
            ++r.attempts;
            Log("Queue " + id.toLatin1() + " <" + r.to + ">: attempt " + N(r.attempts) + " to relay host " + relayHost_->shown
                + " on connection " + N(index) + " kept open");
            return true;
        }
    idle_.emplace_back(index, serial);
    return false;
}

void Queue::Ended(const QString& id, const QByteArray& to, const QByteArray& reply, RelayStep step)
{
    Item* item = nullptr;
    QueuedRecipient* r = Find(id, to, &item);
    if (!r || !item->running.count(to))
        return;
    Attempt& a = item->running[to];
    a.index = -1;
    const bool delivered = step == RelayStep::TextSent && reply.startsWith('2');
    // No greeting from this exchanger: the next one, within the same attempt.
    if (!delivered && step == RelayStep::Connecting && a.host + 1 < a.hosts.size()) {
        Log("Queue " + id.toLatin1() + " <" + to + ">: " + a.hosts.value(a.host).toUtf8() + " " + OneLine(reply) + "; trying the next exchanger");
        ++a.host;
        return Connect(*item, *r);
    }
    // A refusal of the envelope or the message is final; one of the greeting or EHLO is not.
    const bool permanent = !delivered && reply.startsWith('5') && int(step) >= int(RelayStep::MailSent) && int(step) <= int(RelayStep::TextSent);
    Finish(*item, *r, reply, delivered, permanent);
}

void Queue::Finish(Item& item, QueuedRecipient& r, const QByteArray& reply, bool delivered, bool permanent)
{
    const QString host = item.running[r.to].hosts.value(item.running[r.to].host);
    item.running.erase(r.to);
    --running_;
    r.reply = OneLine(reply);
    const QByteArray what = "Queue " + item.m.id.toLatin1() + " <" + r.to + ">: ";
    const qint64 now = Now();
    const qint64 expiry = item.m.accepted + mdlCommon::RelayExpire;
    bool done = true;
    if (delivered) {
        Log(what + "delivered to " + host.toUtf8() + " (" + r.reply + ")");
    } else if (permanent) {
        Log(what + "bounced (" + r.reply + ")");
        Bounce(item, r, host, reply, false);
    } else if (now >= expiry) {
        Log(what + "expired after " + N(r.attempts) + " attempts (" + r.reply + ")");
        Bounce(item, r, host, reply, true);
    } else {
        const QList<int>& delays = mdlCommon::RelayRetry;
        const qint64 delay = delays.isEmpty() ? 60 : delays[std::min<qsizetype>(r.attempts, delays.size()) - 1];
        r.next = std::min(now + delay, expiry);
        Log(what + "deferred " + (relayHost_ ? "by relay host " + relayHost_->shown + " " : QByteArray()) + "(" + r.reply + "); next attempt " + Time(r.next) + ", in " + N(r.next - now) + " s");
        done = false;
    }
    if (done) {
        auto& rs = item.m.recipients;
        rs.erase(rs.begin() + (&r - rs.data()));
    }
    if (item.m.recipients.empty()) {
        const QString id = item.m.id;
        dirty_.erase(id);
        QueueFile::Remove(id);
        items_.erase(id);   // `item` is gone from here on
    } else if (done) {
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
    SendNotice(*server_, facts, [self = QPointer<Queue>(this), what](const QByteArray& line) {
        if (self)
            self->Log(what + line);
    });
}
