// The connection manager's limits over time and memory: the idle clock of each connection
// and the time-outs its protocol sets, and each connection's share of the memory budget.
#include "core/Budget.h"
#include "core/ConnectionManager.h"
#include "core/Connecter.h"
#include "core/LogList.h"
#include "core/mdlCommon.h"

#include <QDateTime>
#include <QSslSocket>
#include <QTimer>

namespace {
QByteArray N(qint64 n) { return QByteArray::number(n); }
}

void ConnectionManager::Touch(qint16 index) { SlotOf(index).active = QDateTime::currentMSecsSinceEpoch(); }

// What a connection holds now of the memory budget: its receive buffer, what its protocol
// keeps (a message not yet acknowledged), and its unsent replies.
void ConnectionManager::Account(qint16 index)
{
    qint64 now = 0;
    if (const Connecter* c = Session(index))
        now += c->Command.size() + (c->Part() ? c->Part()->Held() : 0);
    if (const auto q = outgoing_.find(index); q != outgoing_.end())
        for (const Piece& p : q->second)
            now += p.bytes.size() + p.file.head.size() + p.file.tail.size();
    if (const QSslSocket* s = Element(index))
        now += s->bytesToWrite() + s->encryptedBytesToWrite() + s->bytesAvailable();
    Slot& slot = SlotOf(index);
    Budget::Add(now - slot.accounted);
    slot.accounted = now;
    if (const bool spent = Budget::Spent(settings_.MemoryBudget); spent != budgetSpent_) {
        budgetSpent_ = spent;
        log_.Add("Memory budget: " + N(Budget::Held() >> 20) + " MiB held of " + N(Budget::Limit(settings_.MemoryBudget) >> 20) + " MiB; "
                 + (spent ? "new messages and connections are turned away" : "serving again"));
    }
}

bool ConnectionManager::OverBudget() { return Budget::Spent(settings_.MemoryBudget); }

// Why connection `index` has run out of time, or "" while it has not. A silent peer, an
// exchanger that never answers and a peer that never takes our last reply are caught by the
// idle clock; a peer that trickles a byte at a time by the clock of the line it is sending;
// one that trickles whole lines of text by the clock of the step.
QByteArray ConnectionManager::Overdue(qint16 index, const Connecter& c, qint64 now)
{
    const Slot& slot = SlotOf(index);
    const int step = c.Step();
    const Connecter::Protocol* part = c.Part();
    if (slot.handshakeSince > 0 && now - slot.handshakeSince > 1000 * qint64(settings_.TlsHandshakeTimeout))
        return "TLS handshake not done in " + N((now - slot.handshakeSince) / 1000) + " s";
    const qint64 idle = 1000 * qint64(step == Closing || !part ? ClosingSeconds : part->IdleSeconds(step, settings_));
    if (idle <= 0)
        return {};
    if (now - slot.active > idle)
        return "nothing for " + N((now - slot.active) / 1000) + " s";
    // Whole lines held back behind a reply still going out wait their turn: only a line
    // without its end is late.
    const bool unended = !c.Command.isEmpty() && !c.Command.endsWith('\n');
    if (unended && c.LineSince > 0 && now - c.LineSince > idle && !(part && part->TakesPartialLines(step)))
        return "a line not ended in " + N((now - c.LineSince) / 1000) + " s";
    const qint64 whole = 1000 * qint64(part && step != Closing ? part->StepSeconds(step, settings_) : 0);
    if (whole > 0 && now - c.SteppedAt > whole)
        return "message text not ended in " + N((now - c.SteppedAt) / 1000) + " s";
    return {};
}

// A protocol says how long each of its steps may take and what a time-out says; a second
// time-out, one of a closing connection, or one of a TLS handshake releases it at once.
void ConnectionManager::Sweep()
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    for (size_t i = 2; i < ws_.size(); ++i) {
        const qint16 index = qint16(i);
        Connecter* c = Session(index);
        if (!ws_[i] || !c || stalled_.count(index))
            continue;
        const QByteArray why = Overdue(index, *c, now);
        if (why.isEmpty())
            continue;
        Slot& slot = SlotOf(index);
        log_.Add(N(index) + "-Timeout: " + why + "; connection closed");
        Connecter::Protocol* part = c->Part();
        if (c->Step() == Closing || !part || slot.timedOut || slot.handshakeSince > 0) {
            Release(index);
            continue;
        }
        slot.timedOut = true;
        Touch(index);
        part->TimedOut(*this, index, (now - slot.active) / 1000);
    }
}

// The server stops: lookups and filter conversations not yet begun are dropped, lookups under
// way give up at their next query, and whoever waits for the reply to a message hears its
// service's busy refusal, as that message was not taken. The writers still finish every copy
// they began.
void ConnectionManager::Stop()
{
    stopping_ = true;
    for (Remote* r : {&lookups_, &filters_}) {
        r->share.Clear();
        r->pool.clear();
    }
    for (size_t i = 2; i < ws_.size(); ++i) {
        const qint16 index = qint16(i);
        const Connecter* c = Session(index);
        const Connecter::Protocol* part = c ? c->Part() : nullptr;
        if (!ws_[i] || !part || part->IsClient() || c->Step() == Closing || part->IdleSeconds(c->Step(), settings_) != 0)
            continue;
        const Service& service = ServiceOf(LocalPort(index));
        if (!service.refuse)
            continue;
        Send(index, service.refuse(Refusal::Busy), nullptr);
        ws_[i]->flush();
    }
    log_.FlushBeforeSend();
}

bool ConnectionManager::Backlogged(qint16 index, const QSslSocket* s) const
{
    return s->bytesToWrite() > MaxBacklog || outgoing_.count(index) > 0;
}

void ConnectionManager::After(qint16 index, int ms, std::function<void()> then)
{
    const Connecter* c = Session(index);
    if (!c)
        return;
    if (ms <= 0) {
        then();
        return;
    }
    // Nothing is read from the connection until the wait is over.
    stalled_.insert(index);
    QTimer::singleShot(ms, this, [this, index, then = std::move(then), serial = c->Serial] {
        const Connecter* now = Session(index);
        if (!now || now->Serial != serial)
            return;
        const Turn turn(*this);
        stalled_.erase(index);
        Touch(index);   // the wait was ours, not the client's silence
        then();         // which may wait again
        Resume(index);
    });
}

bool ConnectionManager::Waiting(qint16 index)
{
    const QSslSocket* s = Element(index);
    return stalled_.count(index) > 0 || outgoing_.count(index) > 0 || (s && Backlogged(index, s));
}

void ConnectionManager::Resume(qint16 index)
{
    const QSslSocket* s = Element(index);
    const Connecter* c = Session(index);
    if (s && c && !Waiting(index) && !Backlogged(index, s) && (s->bytesAvailable() > 0 || !c->Command.isEmpty()))
        WS_DataArrival(index);
}
