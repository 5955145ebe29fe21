#include "relay/Queue.h"
#include "core/Budget.h"
#include "core/Connecter.h"
#include "core/Failure.h"
#include "core/Server.h"
#include "core/mdlCommon.h"
#include "mail/Domain.h"
#include "relay/Bounce.h"
#include "relay/RelayHost.h"
#include "relay/RelayClient.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QPointer>
#include <unistd.h>
#include <algorithm>
#include <utility>

namespace {

qint64 Now() { return QDateTime::currentSecsSinceEpoch(); }
QByteArray N(qint64 n) { return QByteArray::number(n); }

// As the served domain is told: what follows the last "@" outside quotes, without a final dot.
QByteArray DomainOf(const QByteArray& address)
{
    const Mail::Address a = Mail::Address::Parse(address);
    return Mail::WithoutFinalDot(a.hasDomain ? QByteArrayView(a.domainText) : QByteArrayView(address));
}

// The queue's key for each recipient; recipients at one domain share one copy of its name.
void SetDomains(QueuedMessage& m)
{
    const QueuedRecipient* previous = nullptr;
    for (QueuedRecipient& r : m.recipients) {
        r.domain = Mail::Domain(DomainOf(r.to)).Name();
        if (previous && previous->domain == r.domain)
            r.domain = previous->domain;
        previous = &r;
    }
}

}

Queue::Queue()
{
    tick_.setInterval(TickMs);
    connect(&tick_, &QTimer::timeout, this, [this] {
        for (const QString& id : std::exchange(dirty_, {}))
            if (const auto it = items_.find(id); it != items_.end())
                Save(it->second);
        Tick(true);
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
    dns_.CacheSeconds = server.Config().MxCacheSeconds;
    LoadPolicies();
    RelayHost::Loaded host = RelayHost::Load(server.Config());
    relayHost_ = std::move(host.policy);
    relayHostProblem_ = std::move(host.problem);
    for (const QByteArray& line : host.lines)
        Log(line);
    // The event loop waits meanwhile: the log line says for how long.
    QElapsedTimer reading;
    reading.start();
    QStringList damaged;
    for (QueuedMessage& m : QueueFile::Read(&damaged)) {
        SetDomains(m);
        for (const QueuedRecipient& r : m.recipients)
            Due(Destination(r), r.next);
        const QString id = m.id;
        items_[id] = Item{std::move(m), {}, {}};
    }
    for (const QByteArray& line : QueueFile::Tidy(damaged))
        Log(line);
    if (!items_.empty())
        Log("Queue: " + N(qint64(items_.size())) + " messages for " + N(Size()) + " recipients read back in " + N(reading.elapsed()) + " ms");
    tick_.start();
    Kick();
}

Target::Written Queue::Write(const QByteArray& sender, const std::vector<Copy>& copies, const QByteArray& text, size_t& failed)
{
    QueuedMessage m;
    m.from = sender;
    for (const Copy& c : copies)
        m.recipients.emplace_back(c.to, c.head);
    failed = 0;   // the message is one file: any failure concerns its first recipient
    QueueFile::Write(m, text);
    return m;
}

void Queue::Commit(Written& written) { Add(std::move(std::any_cast<QueuedMessage&>(written))); }

void Queue::Abort(Written& written) { QueueFile::Remove(std::any_cast<QueuedMessage&>(written).id); }

void Queue::Add(QueuedMessage m)
{
    QByteArray to;
    for (const QueuedRecipient& r : m.recipients)
        to += (to.isEmpty() ? "<" : ", <") + r.to + ">";
    Log("Queue " + m.id.toLatin1() + ": queued from <" + m.from + "> for " + to);
    if (!server_)
        return;   // on disk: read when the queue starts
    SetDomains(m);
    for (const QueuedRecipient& r : m.recipients)
        Due(Destination(r), r.next);
    const QString id = m.id;
    items_[id] = Item{std::move(m), {}, {}};
    Kick();
}

int Queue::Size() const
{
    int n = 0;
    for (const auto& [id, item] : items_)
        n += int(item.m.recipients.size());
    return n;
}

void Queue::Exchangers(const QString& domain, DNS::Answer answer)
{
    if (relayHost_)
        return answer({}, QStringLiteral("relay host"));
    dns_.Lookup(domain, std::move(answer));
}

int Queue::Flush(const QString& domain, bool subdomains)
{
    int n = 0;
    for (auto& [id, item] : items_)
        for (QueuedRecipient& r : item.m.recipients) {
            if (!domain.isEmpty()) {   // every recipient otherwise: no name to compare
                const QString d = QString::fromLatin1(DomainOf(r.to));
                if (d.compare(domain, Qt::CaseInsensitive) != 0 && !(subdomains && d.endsWith(QLatin1Char('.') + domain, Qt::CaseInsensitive)))
                    continue;
            }
            ++n;
            if (!item.running.count(r.to)) {
                r.next = 0;
                Due(Destination(r), 0);
            }
        }
    if (n > 0 && server_)
        Kick();
    return n;
}

Queue::Item* Queue::Find(const QString& id, quint64 key)
{
    const auto it = items_.find(id);
    return it != items_.end() && it->second.attempts.count(key) ? &it->second : nullptr;
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
        Tick(false);
    });
}

void Queue::Tick(bool expiry)
{
    if (!server_)
        return;
    if (QueueFile::TakeFlushRequest())
        Log("Queue: flush asked; " + N(Flush()) + " recipients to try now");
    // Idle connections take what is due first (a miss puts one back on the list).
    for (const auto& [index, serial] : std::exchange(idle_, {}))
        if (const Connecter* c = server_->Session(index); c && c->Serial == serial)
            RelayResume(*server_, index);
    const qint64 now = Now();
    const int most = relayHost_ ? MaxRelayHostConnections : server_->Config().RelayPerDomain;
    // A kick when no destination has both a recipient due and a connection to spare (all busy,
    // or the rest put off) walks nothing: with a queue of 100,000 that walk was most of the work.
    if (!expiry && std::none_of(dueAt_.begin(), dueAt_.end(), [&](const auto& d) { return d.second <= now && Connections(d.first) < most; }))
        return;
    std::map<QByteArray, qint64> dueAt;   // worked out afresh when the walk goes all the way
    bool whole = true;
    for (auto& [id, item] : items_) {
        // Nothing more can start: the rest of the walk would only look at the expiry, which the
        // tick of every second does. A kick after each attempt's end stops here.
        if (running_ >= MaxRunning && !expiry) {
            whole = false;
            break;
        }
        if (expiry && !item.attempts.empty() && now >= item.m.accepted + server_->Config().RelayExpire)
            for (const auto& [key, a] : item.attempts) {
                // An exchanger that keeps us waiting past the expiry is left, unless it has the
                // whole message already and only its answer is missing.
                const Connecter* c = a.index >= 0 ? server_->Session(a.index) : nullptr;
                RelaySession* relay = c && c->Serial == a.serial ? c->As<RelaySession>() : nullptr;
                if (relay && relay->Step() != RelayStep::TextSent && relay->Step() != RelayStep::QuitSent) {
                    relay->Lost("no answer before the message expired");
                    server_->Release(a.index);
                }
            }
        for (QueuedRecipient& r : item.m.recipients) {
            if (running_ >= MaxRunning) {
                whole = false;
                break;   // the expiry of the next messages is still looked at
            }
            if (item.running.count(r.to))
                continue;
            if (const auto [at, added] = dueAt.try_emplace(Destination(r), r.next); !added)
                at->second = std::min(at->second, r.next);
            if (r.next <= now && Connections(Destination(r)) < most)
                Begin(item, Batch(item, r, now));
        }
    }
    if (whole)
        dueAt_ = std::move(dueAt);
}

void Queue::Due(const QByteArray& destination, qint64 at)
{
    if (const auto [it, added] = dueAt_.try_emplace(destination, at); !added)
        it->second = std::min(it->second, at);
}

const QByteArray& Queue::Destination(const QueuedRecipient& r) const
{
    static const QByteArray host;
    return relayHost_ ? host : r.domain;
}

int Queue::Connections(const QByteArray& destination) const
{
    const auto count = [&](const std::map<QByteArray, int>& m) {
        const auto it = m.find(destination);
        return it == m.end() ? 0 : it->second;
    };
    return count(looking_) + count(open_);
}

namespace {

// A trace line without its "for <recipient>": the one a copy for several recipients gets, as
// the well-known servers write it.
QByteArray Unaddressed(const QByteArray& head)
{
    const qsizetype at = head.indexOf("\r\n\tfor <");
    const qsizetype end = at < 0 ? -1 : head.indexOf('>', at);
    return end < 0 ? head : head.left(at) + head.mid(end + 1);
}

}

std::vector<QByteArray> Queue::Batch(Item& item, const QueuedRecipient& r, qint64 now)
{
    std::vector<QByteArray> to{r.to};
    // A relay host gets one recipient a transaction, each copy with its own trace line.
    if (relayHost_)
        return to;
    const QByteArray& destination = Destination(r);
    const QByteArray head = Unaddressed(r.head);
    for (const QueuedRecipient& o : item.m.recipients)
        if (int(to.size()) < MaxRcpts && &o != &r && o.next <= now && !item.running.count(o.to) && !std::count(to.begin(), to.end(), o.to)
            && Destination(o) == destination && Unaddressed(o.head) == head)
            to.push_back(o.to);
    return to;
}

quint64 Queue::Begin(Item& item, std::vector<QByteArray> to, const QStringList& hosts, qint16 index, quint64 serial)
{
    const quint64 key = ++attempts_;
    Attempt& a = item.attempts[key];
    a.hosts = hosts;
    a.index = index;
    a.serial = serial;
    for (const QByteArray& t : to) {
        item.running[t] = key;
        for (QueuedRecipient& r : item.m.recipients)
            if (r.to == t) {
                ++r.attempts;
                a.destination = Destination(r);
            }
    }
    a.to = std::move(to);
    ++running_;
    if (index >= 0)
        return key;   // on a connection already open
    ++looking_[a.destination];
    // The answer comes later even when the table has it, so that nothing here changes the
    // queue while Tick walks through it.
    QPointer<Queue> self(this);
    if (relayHost_) {   // no lookup: the relay host takes every domain
        QTimer::singleShot(0, this, [self, id = item.m.id, key] {
            if (self)
                self->Resolved(id, key, {self->relayHost_->host}, {});
        });
        return key;
    }
    dns_.Lookup(QString::fromLatin1(Mail::Domain(DomainOf(a.to.front())).Name()), [self, id = item.m.id, key](const QStringList& hosts, const QString& problem) {
        if (self)
            QTimer::singleShot(0, self, [self, id, key, hosts, problem] { self->Resolved(id, key, hosts, problem); });
    });
    return key;
}

void Queue::Resolved(const QString& id, quint64 key, const QStringList& hosts, const QString& problem)
{
    Item* item = Find(id, key);
    if (!item)
        return;
    Attempt& a = item->attempts[key];
    --looking_[a.destination];
    const QByteArray domain = DomainOf(a.to.front());
    if (relayHost_ && !relayHostProblem_.isEmpty())
        return FinishAll(*item, key, "relay host not used: " + relayHostProblem_, false);
    // A domain that does not exist or takes no mail will not on the next attempt either.
    if (problem == DNS::NoSuchDomain)
        return FinishAll(*item, key, "550 5.1.2 Domain " + domain + " does not exist", true);
    if (problem == DNS::NullMx)
        return FinishAll(*item, key, "556 5.1.10 Domain " + domain + " accepts no mail (null MX)", true);
    if (hosts.isEmpty() && !problem.isEmpty())
        return FinishAll(*item, key, "lookup failed: " + problem.toUtf8(), false);
    // No exchanger: the domain's own address takes its mail.
    a.hosts = hosts.isEmpty() ? QStringList{QString::fromLatin1(domain)} : hosts;
    a.host = 0;
    relayHost_ ? Connect(*item, key) : Secure(*item, key);
}

bool Queue::Prepare(Item& item, quint64 key, RelaySession& relay, QByteArray& problem)
{
    FileReply text;
    try {
        text = QueueFile::Open(item.m.id);
    } catch (const Failure& f) {
        problem = "cannot read the queued message: " + f.text();
        return false;
    }
    const Attempt& a = item.attempts[key];
    // The end of data gives the text its last CR LF.
    if (text.EndsWithCrLf())
        text.length -= 2;
    for (const QueuedRecipient& r : item.m.recipients)
        if (r.to == a.to.front())
            text.head = a.to.size() == 1 ? r.head : Unaddressed(r.head);
    relay.Text = std::move(text);
    relay.Sender = item.m.from;
    relay.Recipients = QList<QByteArray>(a.to.begin(), a.to.end());
    relay.RcptReplies.clear();
    // Told from the connection's end, perhaps from inside its release: handled afterwards.
    relay.Done = [self = QPointer<Queue>(this), id = item.m.id, key](const QByteArray& reply, RelayStep step, const QList<QByteArray>& rcpt) {
        if (self && QCoreApplication::instance())
            QTimer::singleShot(0, self, [self, id, key, reply, step, rcpt] { self->Ended(id, key, reply, step, rcpt); });
    };
    return true;
}

void Queue::Connect(Item& item, quint64 key)
{
    // A copy taken on a kept connection has no policies of its own: found afresh for a new one.
    if (const Attempt& a = item.attempts[key]; !relayHost_ && a.policies.size() != size_t(a.hosts.size()))
        return Secure(item, key);
    auto relay = std::make_unique<RelaySession>();
    if (QByteArray problem; !Prepare(item, key, *relay, problem))
        return FinishAll(item, key, problem, false);
    const qint16 i = server_->GetFreeIndex();
    if (i < 0)
        return FinishAll(item, key, "no free connection index", false);
    Attempt& a = item.attempts[key];
    const QString host = a.hosts.value(a.host);
    RelaySession& session = *relay;
    session.Policy = a.policies.empty() ? nullptr : a.policies[size_t(a.host)];
    auto c = std::make_unique<Connecter>(std::move(relay), int(RelayStep::Connecting));
    // The connection carries the next due copy to the same place after this one.
    session.Host = relayHost_;
    session.Next = [self = QPointer<Queue>(this), i, serial = c->Serial, destination = a.destination, host](RelaySession& s) {
        return self && self->Reuse(s, i, serial, destination, host);
    };
    session.IdleWait = IdleSeconds;
    ++open_[a.destination];
    session.Gone = [self = QPointer<Queue>(this), destination = a.destination] {
        if (!self)
            return;
        --self->open_[destination];
        if (QCoreApplication::instance())
            self->Kick();
    };
    a.index = i;
    a.serial = c->Serial;
    server_->AddSession(i, std::move(c));
    server_->Log(N(i) + ">Transfer " + DomainOf(a.to.front()));
    for (const QByteArray& to : a.to)
        for (const QueuedRecipient& r : item.m.recipients)
            if (r.to == to)
                Log("Queue " + item.m.id.toLatin1() + " <" + r.to + ">: attempt " + N(r.attempts) + " to "
                    + (relayHost_ ? "relay host " + relayHost_->shown : host.toUtf8()));
    const QString address = a.addresses.value(a.host);
    server_->Connect(i, address.isEmpty() ? host : address, relayHost_ ? relayHost_->port : SmtpRelayPort);
}

bool Queue::Reuse(RelaySession& relay, qint16 index, quint64 serial, const QByteArray& destination, const QString& host)
{
    // No bound on attempts here: the connection is open already, and the attempt it has just
    // decided is still counted until its end is handled.
    if (!server_)
        return false;
    const qint64 now = Now();
    // From the message the last search for this destination stopped at: those before it have
    // theirs under way or done, and a queue of thousands is not walked again for each copy.
    // The walk goes round to them last.
    QString& from = reuseFrom_[destination];
    const auto start = items_.lower_bound(from);
    for (int round = 0; round < 2; ++round) {
        for (auto it = round ? items_.begin() : start; it != (round ? start : items_.end()); ++it) {
            auto& [id, item] = *it;
            for (QueuedRecipient& r : item.m.recipients) {
                if (r.next > now || item.running.count(r.to) || Destination(r) != destination)
                    continue;
                from = id;
                const quint64 key = Begin(item, Batch(item, r, now), {host}, index, serial);
                QByteArray problem;
                if (!Prepare(item, key, relay, problem)) {
                    FinishAll(item, key, problem, false);   // `item` may be gone
                    idle_.emplace_back(index, serial);
                    return false;
                }
                for (const QByteArray& to : item.attempts[key].to)
                    for (const QueuedRecipient& o : item.m.recipients)
                        if (o.to == to)
                            Log("Queue " + id.toLatin1() + " <" + o.to + ">: attempt " + N(o.attempts) + " to "
                                + (relayHost_ ? "relay host " + relayHost_->shown : host.toUtf8()) + " on connection " + N(index) + " kept open");
                return true;
            }
        }
    }
    reuseFrom_.erase(destination);   // nothing due for it: the next search starts afresh
    idle_.emplace_back(index, serial);
    return false;
}
