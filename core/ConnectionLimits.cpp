// The connection manager's limits over time and memory: the idle clock of each connection
// and the time-outs its protocol sets, and each connection's share of the memory budget.
#include "core/Budget.h"
#include "core/ConnectionManager.h"
#include "core/Connecter.h"
#include "core/LogList.h"

#include <QDateTime>
#include <QSslSocket>

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
    if (const bool spent = Budget::Spent(); spent != budgetSpent_) {
        budgetSpent_ = spent;
        log_.Add("Memory budget: " + N(Budget::Held() >> 20) + " MiB held of " + N(Budget::Limit() >> 20) + " MiB; "
                 + (spent ? "new messages and connections are turned away" : "serving again"));
    }
}

bool ConnectionManager::OverBudget() { return Budget::Spent(); }

// Time-outs: a client that stays silent, an exchanger that never answers, and a peer that
// never takes our last reply do not keep their connection for ever. A protocol says how long
// each of its steps may stay silent and what a time-out says; a second time-out, or one of a
// closing connection, releases it.
void ConnectionManager::Sweep()
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    for (size_t i = 2; i < ws_.size(); ++i) {
        const qint16 index = qint16(i);
        Connecter* c = Session(index);
        if (!ws_[i] || !c || stalled_.count(index))
            continue;
        Slot& slot = SlotOf(index);
        const int step = c->Step();
        Connecter::Protocol* part = c->Part();
        const qint64 limit = 1000 * qint64(step == Closing || !part ? ClosingSeconds : part->IdleSeconds(step));
        if (limit <= 0 || now - slot.active <= limit)
            continue;
        const qint64 silent = (now - slot.active) / 1000;
        log_.Add(N(index) + "-Timeout: nothing for " + N(silent) + " s; connection closed");
        if (step == Closing || !part || slot.timedOut) {
            Release(index);
            continue;
        }
        slot.timedOut = true;
        Touch(index);
        part->TimedOut(*this, index, silent);
    }
}
