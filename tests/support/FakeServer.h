#pragma once
// The one stand-in for the connection manager, shared by the unit tests and the fuzz
// targets: it keeps sessions in a map and records what the handlers ask of it.
#include "core/Access.h"
#include "core/Connecter.h"
#include "core/Server.h"

#include <QList>
#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <vector>

using Lines = QList<QByteArray>;

class FakeServer : public Server {
public:
    std::map<qint16, std::unique_ptr<Connecter>> sessions;
    std::vector<std::pair<qint16, QByteArray>> sent;   // every SendReply, in order
    Lines log;                                          // newest last; replies as "i>text"
    std::vector<std::pair<qint16, QString>> connects;   // relay connections asked for, as host:port
    std::vector<qint16> released;
    std::function<void(qint16, const QByteArray&)> onReply;   // sees every reply as it is sent

    Connecter* Session(qint16 i) override { auto it = sessions.find(i); return it == sessions.end() ? nullptr : it->second.get(); }
    void SendReply(qint16 i, const QByteArray& text) override { SendSecret(i, text, text); }
    void SendSecret(qint16 i, const QByteArray& text, const QByteArray& shown) override
    {
        if (onReply) onReply(i, text);
        sent.emplace_back(i, text);
        log << QByteArray::number(i) + '>' + shown;
    }
    void Log(const QByteArray& line) override { log << line; }
    // As a test sets them; the SMTP port is not the one relays connect to, so no exchanger is
    // ever this server and none is looked up.
    Settings settings = [] { Settings s; s.SmtpPort = QStringLiteral("2525"); return s; }();
    const Settings& Config() const override { return settings; }
    Access::LoginRecords logins;   // no address has failed to log in yet
    Access::LoginRecords& Logins() override { return logins; }
    qint16 GetFreeIndex() override { qint16 i = 2; while (sessions.count(i)) ++i; return i; }
    void AddSession(qint16 i, std::unique_ptr<Connecter> s) override { sessions[i] = std::move(s); }
    void Connect(qint16 i, const QString& h, quint16 port) override { connects.emplace_back(i, h + ':' + QString::number(port)); }
    void Release(qint16 i) override { released.push_back(i); sessions.erase(i); }
    QByteArray LocalHostName(qint16) override { return "mx.test.host"; }
    std::map<qint16, QByteArray> peers;   // client addresses other than 127.0.0.1
    QByteArray PeerAddress(qint16 i) override { const auto it = peers.find(i); return it == peers.end() ? "127.0.0.1" : it->second; }
    std::map<qint16, int> ports;   // local ports other than 25
    int LocalPort(qint16 i) override { const auto it = ports.find(i); return it == ports.end() ? 25 : it->second; }
    // TLS as a flag: on when a test says a certificate is loaded, started at once when asked.
    bool tls = false;
    std::set<qint16> encrypted;
    bool TlsAvailable() override { return tls; }
    bool IsEncrypted(qint16 i) override { return encrypted.count(i) > 0; }
    void StartTls(qint16 i, std::function<void()> then) override { encrypted.insert(i); if (then) then(); }
    std::map<qint16, ClientTls> clientTls;   // how each connection of our own was asked to start TLS
    void StartClientTls(qint16 i, const ClientTls& policy, std::function<void()> then) override
    {
        clientTls[i] = policy;
        StartTls(i, std::move(then));
    }

    // File writes held back until Drain() while deferWrites is set, as the real server's
    // writer threads may finish them later than the reply would go.
    bool deferWrites = false;
    std::vector<std::pair<std::function<void()>, std::function<void()>>> pending;
    void Offload(std::function<void()> work, std::function<void()> done) override
    {
        if (deferWrites) pending.emplace_back(std::move(work), std::move(done));
        else Server::Offload(std::move(work), std::move(done));
    }
    void Drain()
    {
        for (; !pending.empty(); pending.erase(pending.begin())) {   // `done` may queue more
            pending.front().first();
            auto done = std::move(pending.front().second);
            done();
        }
    }

    // A clock of its own, and the waits of After on it. Unless the timers are held, a wait is
    // over at once, the clock moved on by it; held, the connection is Waiting meanwhile, and
    // Advance runs them as they fall due, then hands what the connection left in its buffer to
    // `resume`, as the real server does.
    qint64 clock = 1700000000000;
    bool holdTimers = false;
    CommandHandler resume;
    struct Timer {
        qint64 due;
        qint16 index;
        quint64 serial;
        std::function<void()> then;
    };
    std::vector<Timer> timers;
    qint64 Now() override { return clock; }
    void After(qint16 i, int ms, std::function<void()> then) override
    {
        const Connecter* c = Session(i);
        if (!c) return;
        if (!holdTimers) { clock += std::max(ms, 0); then(); return; }
        timers.push_back({clock + ms, i, c->Serial, std::move(then)});
    }
    void Advance(qint64 ms)
    {
        const qint64 until = clock + ms;
        for (;;) {   // the earliest first, and of those the first set
            const auto next = std::min_element(timers.begin(), timers.end(), [](const Timer& a, const Timer& b) { return a.due < b.due; });
            if (next == timers.end() || next->due > until) break;
            const Timer t = std::move(*next);
            timers.erase(next);
            clock = std::max(clock, t.due);
            const Connecter* c = Session(t.index);
            if (!c || c->Serial != t.serial) continue;
            t.then();
            if (const Connecter* now = Session(t.index); now && resume && !Waiting(t.index) && !now->Command.isEmpty())
                Gather(*this, t.index, {}, resume);
        }
        clock = until;
    }
    bool Waiting(qint16 i) override
    {
        return std::any_of(timers.begin(), timers.end(), [i](const Timer& t) { return t.index == i; });
    }

    // A new session with the protocol part P, as the service's accept makes it.
    template <class P, class Step>
    P& Open(qint16 i, Step step)
    {
        sessions[i] = std::make_unique<Connecter>(std::make_unique<P>(), int(step));
        return *sessions[i]->As<P>();
    }
    Lines RepliesTo(qint16 i) const
    {
        Lines r;
        for (const auto& [idx, text] : sent)
            if (idx == i) r << text;
        return r;
    }
};
