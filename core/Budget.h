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

// Bytes held by one owner for as long as it lives, as many as it last said: a message text on its
// way from the end of its upload to its files grows and shrinks as the steps change it.
class Charge {
public:
    Charge() = default;
    Charge(const Charge&) = delete;
    Charge& operator=(const Charge&) = delete;
    ~Charge() { Set(0); }
    void Set(qint64 bytes)
    {
        Add(bytes - bytes_);
        bytes_ = bytes;
    }

private:
    qint64 bytes_ = 0;
};

}
