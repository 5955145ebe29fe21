#pragma once
// Shared by the fuzz targets: the entry point, the check that stops the fuzzer, feeding a
// handler as the connection manager does, and the program folder with what may change in it.
#include "tests/support/FakeServer.h"
#include "tests/support/ProgramFolder.h"

#include <QRegularExpression>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// libFuzzer wants one entry point per program; the replay program links every target
// and picks one by name.
#ifdef TANDRIVEL_LIBFUZZER
#define FUZZ_TARGET(name) extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
#else
using FuzzFunction = int (*)(const uint8_t*, size_t);
bool RegisterFuzzTarget(const char* name, FuzzFunction f);
#define FUZZ_TARGET(name)                                                                          \
    static int name##_Fuzz(const uint8_t*, size_t);                                                \
    [[maybe_unused]] static const bool name##_Registered = RegisterFuzzTarget(#name, name##_Fuzz); \
    static int name##_Fuzz(const uint8_t* data, size_t size)
#endif

// A broken promise of the code under test: stop so the fuzzer keeps the input.
#define FUZZ_CHECK(cond, ...)                                                                      \
    do {                                                                                           \
        if (cond) break;                                                                           \
        fprintf(stderr, "FUZZ_CHECK failed at %s:%d: %s\n", __FILE__, __LINE__, #cond);            \
        fprintf(stderr, __VA_ARGS__);                                                              \
        fputc('\n', stderr);                                                                       \
        abort();                                                                                   \
    } while (0)

inline QByteArray Bytes(const uint8_t* data, size_t size) { return QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)); }

// The program folder of a whole run, in $TMPDIR (run.sh points it at memory); reports go nowhere.
struct FuzzFolder : ProgramFolder {
    explicit FuzzFolder(const QByteArray& users, const QByteArray& domainMx = "Domain,MX,Priority\n") : ProgramFolder(users, domainMx)
    {
        mdlCommon::SetReporter([](const QString&) {});
    }
    // Every entry that `mayChange` does not match, with its content, to compare before and after.
    QStringList Fixed(const QRegularExpression& mayChange) const
    {
        QStringList out;
        for (const QString& e : Entries())
            if (!mayChange.match(e).hasMatch()) out << e + '=' + QString::fromLatin1(Read(e).toHex());
        return out;
    }
};

// Hands `stream` to `handler` as the connection manager does: in chunks, dispatched whenever
// the buffer ends with CR LF. The low bits of `chunking` pick them: 0 a line each, 127 all
// at once, n 1..n bytes each. A closing connection (Step 6) is released at once unless the
// top bit lets data that arrived before the send completed reach the handler too. `after`
// runs after each dispatch. No handler may reply on a released index, nor relay to
// anything but a host on port 25.
template <class After>
void Feed(FakeServer& server, qint16 index, const QByteArray& stream, uint8_t chunking, const CommandHandler& handler, After after)
{
    server.onReply = [&server, also = std::move(server.onReply)](qint16 i, const QByteArray& text) {
        FUZZ_CHECK(server.sessions.count(i), "reply on released index %d", int(i));
        if (also) also(i, text);
    };
    const int most = chunking & 0x7f;
    uint32_t seed = chunking * 2654435761u + 1;
    for (qsizetype pos = 0, n = 0; pos < stream.size() && server.Session(index); pos += n) {
        n = stream.size() - pos;
        if (most == 0 && stream.indexOf('\n', pos) >= 0) n = stream.indexOf('\n', pos) + 1 - pos;
        else if (most != 0 && most != 0x7f) n = std::min<qsizetype>(n, 1 + ((seed = seed * 1103515245u + 12345u) >> 16) % most);
        if (!Gather(server, index, stream.mid(pos, n), handler)) continue;
        after();
        if (server.Session(index) && server.Session(index)->Step() == Closing && !(chunking & 0x80)) server.Release(index);
    }
    for (const auto& [i, target] : server.connects)
        FUZZ_CHECK(!target.startsWith(':') && target.endsWith(":25"), "relay connect to %s", qPrintable(target));
}
