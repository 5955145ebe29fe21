#pragma once
// Shared by the fuzz targets: feeding a handler as the connection manager does, and a
// program folder for the whole run.
#include "core/mdlCommon.h"
#include "tests/support/FakeServer.h"

#include <QByteArray>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>

// libFuzzer wants one entry point per program; the replay program (built with any
// compiler) links every target and picks one by name.
#ifdef TANDRIVEL_LIBFUZZER
#define FUZZ_TARGET(name) extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
#else
using FuzzFunction = int (*)(const uint8_t*, size_t);
bool RegisterFuzzTarget(const char* name, FuzzFunction f);
#define FUZZ_TARGET(name)                                                        \
    static int name##_Fuzz(const uint8_t*, size_t);                              \
    [[maybe_unused]] static const bool name##_Registered = RegisterFuzzTarget(#name, name##_Fuzz); \
    static int name##_Fuzz(const uint8_t* data, size_t size)
#endif

// A broken promise of the code under test: stop so the fuzzer keeps the input.
#define FUZZ_CHECK(cond, ...)                                                    \
    do {                                                                         \
        if (!(cond)) {                                                           \
            fprintf(stderr, "FUZZ_CHECK failed at %s:%d: %s\n", __FILE__, __LINE__, #cond); \
            fprintf(stderr, __VA_ARGS__);                                        \
            fputc('\n', stderr);                                                 \
            abort();                                                             \
        }                                                                        \
    } while (0)

// Hands `stream` to `handler` the way the connection manager does (Gather): bytes arrive
// in chunks and go to the handler whenever the buffer ends with CR LF. The low bits of
// `chunking` pick the chunks: 0 one line each (as most clients send), 127 the whole
// stream at once, n 1..n bytes each. A closing connection (Step 6) is released at once
// unless the top bit of `chunking` lets data that arrived before the send completed reach
// the handler too. `after` runs after each dispatch. Checks on the way what every handler
// promises: no reply on a released index, relay connections only to a host on port 25.
template <class After>
void Feed(FakeServer& server, qint16 index, const QByteArray& stream, uint8_t chunking, const CommandHandler& handler, After after)
{
    server.onReply = [&server, also = std::move(server.onReply)](qint16 i, const QByteArray& text) {
        // The real manager only logs a reply to a released index; a handler should not send one.
        FUZZ_CHECK(server.sessions.count(i), "reply on released index %d", int(i));
        if (also) also(i, text);
    };
    const int most = chunking & 0x7f;
    const bool lingering = chunking & 0x80;
    uint32_t seed = chunking * 2654435761u + 1;
    qsizetype pos = 0;
    while (pos < stream.size() && server.Session(index)) {
        qsizetype n = stream.size() - pos;
        if (most == 0) {
            const qsizetype lf = stream.indexOf('\n', pos);
            if (lf >= 0) n = lf + 1 - pos;
        } else if (most != 0x7f) {
            seed = seed * 1103515245u + 12345u;
            n = std::min<qsizetype>(n, 1 + (seed >> 16) % most);
        }
        const bool dispatched = Gather(server, index, stream.mid(pos, n), handler);
        pos += n;
        if (!dispatched)
            continue;
        after();
        const Connecter* c = server.Session(index);
        if (c && c->Step() == Closing && !lingering)
            server.Release(index);
    }
    for (const auto& [i, target] : server.connects)
        FUZZ_CHECK(!target.startsWith(QLatin1Char(':')) && target.endsWith(QLatin1String(":25")), "relay connect to %s", qPrintable(target));
}

// A program folder for the whole run, in $TMPDIR (fuzz/run.sh points it at memory).
class FuzzFolder {
public:
    QTemporaryDir dir;
    FuzzFolder(const QByteArray& users, const QByteArray& domainMx)
    {
        FUZZ_CHECK(dir.isValid(), "no temporary folder");
        QDir(dir.path()).mkpath(QStringLiteral("Users"));
        Write(QStringLiteral("Users.txt"), users);
        Write(QStringLiteral("DomainMX.txt"), domainMx);
        mdlCommon::SetProgramFolder(dir.path());
        mdlCommon::SetReporter([](const QString&) {});
    }
    QString Path(const QString& rel) const { return dir.filePath(rel); }
    void Write(const QString& rel, const QByteArray& content) const
    {
        QDir(dir.path()).mkpath(QFileInfo(Path(rel)).path());
        QFile f(Path(rel));
        FUZZ_CHECK(f.open(QIODevice::WriteOnly | QIODevice::Truncate), "cannot write %s", qPrintable(rel));
        f.write(content);
    }
    QByteArray Read(const QString& rel) const
    {
        QFile f(Path(rel));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }
    // Every entry under the folder, relative, with links and hidden files.
    QStringList Entries() const
    {
        QStringList all;
        QDirIterator it(dir.path(), QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            all << QDir(dir.path()).relativeFilePath(it.next());
        all.sort();
        return all;
    }
};

inline QByteArray Bytes(const uint8_t* data, size_t size)
{
    return QByteArray(reinterpret_cast<const char*>(data), qsizetype(size));
}
