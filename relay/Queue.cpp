#include "relay/Queue.h"
#include "core/Budget.h"
#include "core/Connecter.h"
#include "core/Failure.h"
#include "core/MailStore.h"
#include "core/Recipient.h"
#include "core/Server.h"
#include "core/mdlCommon.h"
#include "relay/Bounce.h"
#include "relay/DNS.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <algorithm>
#include <optional>
#include <utility>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

qint64 Now() { return QDateTime::currentSecsSinceEpoch(); }
QByteArray N(qint64 n) { return QByteArray::number(n); }

// Addresses and replies are bytes; Latin-1 carries every byte through JSON unchanged.
QString Text(const QByteArray& b) { return QString::fromLatin1(b); }
QByteArray Bytes(const QJsonValue& v) { return v.toString().toLatin1(); }

// As the served domain is told: what follows the first "@".
QByteArray DomainOf(const QByteArray& address) { return address.mid(address.indexOf('@') + 1); }

QByteArray Time(qint64 secs) { return QDateTime::fromSecsSinceEpoch(secs).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")).toLatin1(); }

QByteArray Json(const QueuedMessage& m)
{
    QJsonArray rs;
    for (const QueuedRecipient& r : m.recipients)
        rs.append(QJsonObject{{"to", Text(r.to)}, {"head", Text(r.head)}, {"attempts", r.attempts},
                              {"next", double(r.next)}, {"reply", Text(r.reply)}});
    return QJsonDocument(QJsonObject{{"from", Text(m.from)}, {"accepted", double(m.accepted)}, {"recipients", rs}}).toJson();
}

// Written under a temporary name, then renamed over the old one: a reader sees the old
// file or the new one, never half of one. `durable`: on disk before this returns.
void SaveFile(const QString& path, const QByteArray& content, bool durable)
{
    const QByteArray target = QFile::encodeName(path);
    const QByteArray tmp = target + ".tmp";
    const int fd = ::open(tmp.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        throw FailureFromErrno(errno, path);
    const char* p = content.constData();
    qsizetype left = content.size();
    int err = 0;
    while (left > 0 && !err) {
        const ssize_t w = ::write(fd, p, size_t(left));
        if (w < 0 && errno != EINTR) err = errno;
        if (w > 0) { p += w; left -= w; }
    }
    if (!err && durable && ::fsync(fd) != 0) err = errno;
    if (::close(fd) != 0 && !err) err = errno;
    if (!err && ::rename(tmp.constData(), target.constData()) != 0) err = errno;
    if (err) {
        ::unlink(tmp.constData());
        throw FailureFromErrno(err, path);
    }
    if (durable)
        if (const int e = MailStore::FlushFolder(Queue::Folder()))
            throw FailureFromErrno(e, path);
}

// A queue file as it was written, or nothing when it is not one.
std::optional<QueuedMessage> Parse(const QString& id, const QByteArray& json)
{
    const QJsonObject o = QJsonDocument::fromJson(json).object();
    const QJsonArray rs = o.value(QLatin1String("recipients")).toArray();
    if (!o.value(QLatin1String("from")).isString() || !o.value(QLatin1String("accepted")).isDouble() || rs.isEmpty())
        return std::nullopt;
    QueuedMessage m{id, Bytes(o.value(QLatin1String("from"))), qint64(o.value(QLatin1String("accepted")).toDouble()), {}};
    for (const QJsonValue& v : rs) {
        const QJsonObject r = v.toObject();
        if (!r.value(QLatin1String("to")).isString() || r.value(QLatin1String("to")).toString().isEmpty())
            return std::nullopt;
        QueuedRecipient q;
        q.to = Bytes(r.value(QLatin1String("to")));
        q.head = Bytes(r.value(QLatin1String("head")));
        q.attempts = r.value(QLatin1String("attempts")).toInt();
        q.next = qint64(r.value(QLatin1String("next")).toDouble());
        q.reply = Bytes(r.value(QLatin1String("reply")));
        m.recipients.push_back(std::move(q));
    }
    return m;
}

}

Queue& TheQueue()
{
    static Queue queue;
    return queue;
}

Queue::Queue()
{
    tick_.setInterval(1000);
    connect(&tick_, &QTimer::timeout, this, [this] {
        for (const QString& id : std::exchange(dirty_, {}))
            if (const auto it = items_.find(id); it != items_.end())
                Save(it->second);
        Tick();
    });
}

Queue::~Queue() = default;

QString Queue::Folder() { return mdlCommon::ProgramFolder() + QStringLiteral("/Queue"); }

void Queue::Write(QueuedMessage& m, const QByteArray& text)
{
    if (!QDir().mkpath(Folder()))
        throw FailureFromErrno(errno ? errno : EACCES, Folder());
    if (m.accepted == 0)
        m.accepted = Now();
    const QString name = MailStore::Store(Folder(), text);
    m.id = name.chopped(4);
    try {
        SaveFile(Folder() + QLatin1Char('/') + m.id + QStringLiteral(".json"), Json(m), true);
    } catch (...) {
        MailStore::Discard(Folder(), name);
        throw;
    }
}

void Queue::Remove(const QString& id)
{
    // The envelope first: a message file alone is never taken for a queue entry.
    QFile::remove(Folder() + QLatin1Char('/') + id + QStringLiteral(".json"));
    QFile::remove(Folder() + QLatin1Char('/') + id + QStringLiteral(".eml"));
}

std::vector<QueuedMessage> Queue::Read(QStringList* damaged)
{
    std::vector<QueuedMessage> messages;
    const QDir dir(Folder());
    for (const QString& name : dir.entryList({QStringLiteral("*.json")}, QDir::Files, QDir::Name)) {
        const QString id = name.chopped(5);
        QFile f(dir.filePath(name));
        std::optional<QueuedMessage> m;
        if (f.open(QIODevice::ReadOnly) && dir.exists(id + QStringLiteral(".eml")))
            m = Parse(id, f.readAll());
        if (m)
            messages.push_back(std::move(*m));
        else if (damaged)
            *damaged << name << (dir.exists(id + QStringLiteral(".eml")) ? QStringList{id + QStringLiteral(".eml")} : QStringList{});
    }
    // A message file without its envelope was never acknowledged, or its envelope is lost.
    if (damaged)
        for (const QString& name : dir.entryList({QStringLiteral("*.eml")}, QDir::Files, QDir::Name))
            if (!dir.exists(name.chopped(4) + QStringLiteral(".json")))
                *damaged << name;
    return messages;
}

QByteArray Queue::Listing()
{
    QStringList damaged;
    const std::vector<QueuedMessage> messages = Read(&damaged);
    QByteArray out;
    int recipients = 0;
    for (const QueuedMessage& m : messages)
        for (const QueuedRecipient& r : m.recipients) {
            ++recipients;
            out += m.id.toLatin1() + "  <" + m.from + "> -> <" + r.to + ">  attempts " + N(r.attempts) + "  next "
                   + (r.next <= Now() ? QByteArray("now") : Time(r.next)) + "  last: " + (r.reply.isEmpty() ? "-" : r.reply) + "\n";
        }
    for (const QString& name : damaged)
        out += "unreadable: " + name.toUtf8() + " (moved aside at the next start)\n";
    return "Queue " + Folder().toUtf8() + ": " + N(qint64(messages.size())) + " messages, " + N(recipients) + " recipients\n" + out;
}

QString Queue::FlushRequest()
{
    const QString path = Folder() + QStringLiteral("/flush");
    QFile f(path);
    if (!QDir().mkpath(Folder()) || !f.open(QIODevice::WriteOnly))
        throw Failure(Err::PermissionDenied, QStringLiteral("Cannot write %1: %2").arg(path, f.errorString()));
    return path;
}

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
    QStringList damaged;
    for (QueuedMessage& m : Read(&damaged)) {
        const QString id = m.id;
        items_[id] = Item{std::move(m), {}, {}};
    }
    const QDir dir(Folder());
    for (const QString& name : damaged) {
        // Kept for whoever can make sense of it; never deleted.
        dir.mkpath(QStringLiteral("damaged"));
        const bool moved = QFile::rename(dir.filePath(name), dir.filePath(QStringLiteral("damaged/") + name));
        Log("Queue: " + name.toUtf8() + " cannot be read; " + (moved ? "moved to Queue/damaged" : "could not be moved aside"));
    }
    // Writes cut short by a stop: never acknowledged.
    for (const QString& name : dir.entryList({QStringLiteral(".incoming-*.tmp"), QStringLiteral("*.json.tmp")}, QDir::Files | QDir::Hidden))
        QFile::remove(dir.filePath(name));
    if (!items_.empty())
        Log("Queue: " + N(qint64(items_.size())) + " messages for " + N(Size()) + " recipients read back");
    tick_.start();
    Kick();
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
            if (!r.running)
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
    if (QFile::remove(Folder() + QStringLiteral("/flush")))
        Log("Queue: flush asked; " + N(Flush()) + " recipients to try now");
    const qint64 now = Now();
    std::map<QByteArray, int> perDomain;
    for (const auto& [id, item] : items_)
        for (const QueuedRecipient& r : item.m.recipients)
            if (r.running)
                ++perDomain[DomainOf(r.to).toLower()];
    for (auto& [id, item] : items_) {
        const bool expired = now >= item.m.accepted + mdlCommon::RelayExpire;
        for (QueuedRecipient& r : item.m.recipients) {
            if (r.running) {
                // An exchanger that keeps us waiting past the expiry is left, unless it has the
                // whole message already and only its answer is missing.
                Connecter* c = r.index >= 0 ? server_->Session(r.index) : nullptr;
                if (expired && c && c->Serial == r.serial && c->Step() != RelayTextSent && c->Step() != RelayQuitSent) {
                    c->Relay.Error = "no answer before the message expired";
                    server_->Release(r.index);
                }
                continue;
            }
            int& domain = perDomain[DomainOf(r.to).toLower()];
            if (r.next <= now && running_ < MaxRunning && domain < MaxPerDomain) {
                ++domain;
                Attempt(item, r);
            }
        }
    }
}

void Queue::Attempt(Item& item, QueuedRecipient& r)
{
    r.running = true;
    ++running_;
    ++r.attempts;
    // The answer comes later even when the table has it, so that nothing here changes the
    // queue while Tick walks through it.
    QPointer<Queue> self(this);
    TheDNS().Lookup(QString::fromLatin1(DomainOf(r.to)), [self, id = item.m.id, to = r.to](const QStringList& hosts, const QString& problem) {
        if (self)
            QTimer::singleShot(0, self, [self, id, to, hosts, problem] { self->Resolved(id, to, hosts, problem); });
    });
}

void Queue::Resolved(const QString& id, const QByteArray& to, const QStringList& hosts, const QString& problem)
{
    Item* item = nullptr;
    QueuedRecipient* r = Find(id, to, &item);
    if (!r || !r->running)
        return;
    if (hosts.isEmpty() && !problem.isEmpty())
        return Finish(*item, *r, "lookup failed: " + problem.toUtf8(), false, false);
    // No exchanger: the domain's own address takes its mail.
    r->hosts = hosts.isEmpty() ? QStringList{QString::fromLatin1(DomainOf(to))} : hosts;
    r->host = 0;
    Connect(*item, *r);
}

void Queue::Connect(Item& item, QueuedRecipient& r)
{
    if (item.text.isNull()) {
        try {
            item.text = MailStore::Read(Folder(), item.m.id + QStringLiteral(".eml"));
            item.held = Budget::Hold(item.text.size());
        } catch (const Failure& f) {
            return Finish(item, r, "cannot read the queued message: " + f.text(), false, false);
        }
    }
    const qint16 i = server_->GetFreeIndex();
    if (i < 0)
        return Finish(item, r, "no free connection index", false, false);
    auto c = std::make_unique<Connecter>();
    c->SetStep(RelayConnecting);
    c->Message = item.text;
    c->Relay.Head = r.head;
    c->Relay.Held = item.held;
    c->From = item.m.from;
    c->Address << r.to;
    // Told from the connection's end, perhaps from inside its release: handled afterwards.
    QPointer<Queue> self(this);
    c->Relay.Done = [self, id = item.m.id, to = r.to](const QByteArray& reply, int step) {
        if (self && QCoreApplication::instance())
            QTimer::singleShot(0, self, [self, id, to, reply, step] { self->Ended(id, to, reply, step); });
    };
    r.index = i;
    r.serial = c->Serial;
    server_->AddSession(i, std::move(c));
    const QString host = r.hosts.value(r.host);
    server_->Log(N(i) + ">Transfer " + DomainOf(r.to));
    Log("Queue " + item.m.id.toLatin1() + " <" + r.to + ">: attempt " + N(r.attempts) + " to " + host.toUtf8());
    server_->Connect(i, host, 25);
}

void Queue::Ended(const QString& id, const QByteArray& to, const QByteArray& reply, int step)
{
    Item* item = nullptr;
    QueuedRecipient* r = Find(id, to, &item);
    if (!r || !r->running)
        return;
    r->index = -1;
    const bool delivered = step == RelayTextSent && reply.startsWith('2');
    // No greeting from this exchanger: the next one, within the same attempt.
    if (!delivered && step == RelayConnecting && r->host + 1 < r->hosts.size()) {
        Log("Queue " + id.toLatin1() + " <" + to + ">: " + r->hosts.value(r->host).toUtf8() + " " + OneLine(reply) + "; trying the next exchanger");
        ++r->host;
        return Connect(*item, *r);
    }
    // A refusal of the envelope or the message is final; one of the greeting or EHLO is not.
    const bool permanent = !delivered && reply.startsWith('5') && step >= RelayMailSent && step <= RelayTextSent;
    Finish(*item, *r, reply, delivered, permanent);
}

void Queue::Finish(Item& item, QueuedRecipient& r, const QByteArray& reply, bool delivered, bool permanent)
{
    r.running = false;
    --running_;
    r.reply = OneLine(reply);
    const QByteArray what = "Queue " + item.m.id.toLatin1() + " <" + r.to + ">: ";
    const qint64 now = Now();
    const qint64 expiry = item.m.accepted + mdlCommon::RelayExpire;
    bool done = true;
    if (delivered) {
        Log(what + "delivered to " + r.hosts.value(r.host).toUtf8() + " (" + r.reply + ")");
    } else if (permanent) {
        Log(what + "bounced (" + r.reply + ")");
        Bounce(item, r, reply, false);
    } else if (now >= expiry) {
        Log(what + "expired after " + N(r.attempts) + " attempts (" + r.reply + ")");
        Bounce(item, r, reply, true);
    } else {
        const QList<int>& delays = mdlCommon::RelayRetry;
        const qint64 delay = delays.isEmpty() ? 60 : delays[std::min<qsizetype>(r.attempts, delays.size()) - 1];
        r.next = std::min(now + delay, expiry);
        Log(what + "deferred (" + r.reply + "); next attempt " + Time(r.next) + ", in " + N(r.next - now) + " s");
        done = false;
    }
    if (done) {
        auto& rs = item.m.recipients;
        rs.erase(rs.begin() + (&r - rs.data()));
    }
    if (std::none_of(item.m.recipients.begin(), item.m.recipients.end(), [](const QueuedRecipient& q) { return q.running; })) {
        item.text = QByteArray();
        item.held.reset();
    }
    if (item.m.recipients.empty()) {
        const QString id = item.m.id;
        dirty_.erase(id);
        Remove(id);
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
        // Not flushed: after a power loss the worst is an attempt made again.
        SaveFile(Folder() + QLatin1Char('/') + item.m.id + QStringLiteral(".json"), Json(item.m), false);
    } catch (const Failure& f) {
        Log("Queue " + item.m.id.toLatin1() + ": cannot save: " + f.text());
    }
}

void Queue::Bounce(Item& item, const QueuedRecipient& r, const QByteArray& reply, bool expired)
{
    const QByteArray what = "Queue " + item.m.id.toLatin1() + " <" + r.to + ">: ";
    if (item.m.from.isEmpty()) {
        Log(what + "no notice: the message is itself a notice");
        return;
    }
    QByteArray original = item.text;
    if (original.isNull()) {
        try {
            original = MailStore::Read(Folder(), item.m.id + QStringLiteral(".eml"));
        } catch (const Failure&) {
        }
    }
    const QByteArray text = BounceMessage(server_->LocalHostName(0),
                                          BounceFacts{item.m.from, r.to, reply, r.hosts.value(r.host).toUtf8(), original,
                                                      QDateTime::fromSecsSinceEpoch(item.m.accepted), expired});
    const QByteArray to = item.m.from;
    const Recipient sender = Classify(to);
    auto failure = std::make_shared<QByteArray>();
    if (sender.local) {
        if (sender.folder.isEmpty()) {
            Log(what + "no notice: the sender <" + to + "> has no mailbox");
            return;
        }
        server_->RunDelivery(
            [folder = sender.folder, text, failure] {
                try {
                    MailStore::Store(folder, "Return-Path: <>\r\n", text);
                } catch (const Failure& f) {
                    *failure = f.text();
                }
            },
            [this, what, to, failure] { Log(what + (failure->isEmpty() ? "notice stored for <" + to + ">" : "notice for <" + to + "> lost: " + *failure)); });
        return;
    }
    auto notice = std::make_shared<QueuedMessage>();
    notice->recipients.push_back(QueuedRecipient{to, {}, 0, 0, {}, false, {}, 0, -1, 0});
    server_->RunDelivery(
        [notice, text, failure] {
            try {
                Write(*notice, text);
            } catch (const Failure& f) {
                *failure = f.text();
            }
        },
        [self = QPointer<Queue>(this), what, to, notice, failure] {
            if (!self) return;
            self->Log(what + (failure->isEmpty() ? "notice queued for <" + to + ">" : "notice for <" + to + "> lost: " + *failure));
            if (failure->isEmpty())
                self->Add(std::move(*notice));
        });
}
