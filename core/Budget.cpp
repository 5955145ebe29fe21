#include "core/Budget.h"

#include <atomic>
#include <unistd.h>

namespace Budget {
namespace {
std::atomic<qint64> held {0};

struct Token {
    qint64 bytes;
    ~Token() { Add(-bytes); }
};
}

qint64 Held() { return held.load(); }

void Add(qint64 delta) { held += delta; }

qint64 Limit(qint64 setting)
{
    if (setting > 0)
        return setting;
    static const qint64 quarter = qint64(::sysconf(_SC_PHYS_PAGES)) * ::sysconf(_SC_PAGE_SIZE) / 4;
    return quarter;
}

bool Spent(qint64 setting) { return Held() > Limit(setting); }

std::shared_ptr<void> Hold(qint64 bytes)
{
    Add(bytes);
    return std::make_shared<Token>(Token{bytes});
}

}
