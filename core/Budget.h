#pragma once
#include <QtGlobal>
#include <memory>

// One memory budget for the whole process (setting MemoryBudget): what connections hold in
// receive buffers, unsent replies, messages before they are acknowledged, and relay copies.
namespace Budget {

qint64 Held();
void Add(qint64 delta);
qint64 Limit(qint64 setting);   // the setting MemoryBudget, or a quarter of physical memory when 0
bool Spent(qint64 setting);

// Bytes held for as long as any copy of the token lives: a message shared by all the relays
// that carry it counts once.
std::shared_ptr<void> Hold(qint64 bytes);

}
