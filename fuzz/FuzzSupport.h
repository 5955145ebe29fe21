#pragma once
// Shared by the fuzz targets: a connection manager stand-in, a program folder for the
// whole run, and the receive-buffer rule of the real connection manager.
#include "core/Connecter.h"
#include "core/Server.h"
#include "core/mdlCommon.h"

#include <QByteArray>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>

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

class StubServer : public Server {
public:
    std::map<qint16, std::unique_ptr<Connecter>> sessions;
    int replies = 0, connects = 0, releases = 0;
    QByteArray lastReply;
    // Looks at every reply as it is sent.
    void (*onReply)(qint16, const QByteArray&) = nullptr;

    Connecter* Session(qint16 i) override
    {
        auto it = sessions.find(i);
        return it == sessions.end() ? nullptr : it->second.get();
    }
    void SendReply(qint16 i, const QByteArray& text) override
    {
        // The real manager only logs a reply to a released index; a handler should not send one.
        FUZZ_CHECK(sessions.count(i), "reply on released index %d", int(i));
        ++replies;
        lastReply = text;
        if (onReply) onReply(i, text);
    }
    void Log(const QByteArray&) override {}
    qint16 GetFreeIndex() override
    {
        qint16 i = 2;
        while (sessions.count(i)) ++i;
        return i;
    }
    void AddSession(qint16 i, std::unique_ptr<Connecter> s) override { sessions[i] = std::move(s); }
    void Connect(qint16, const QString& host, quint16 port) override
    {
        FUZZ_CHECK(!host.isEmpty() && port == 25, "relay connect to \"%s\":%d", qPrintable(host), int(port));
        ++connects;
    }
    void Release(qint16 i) override
    {
        ++releases;
        sessions.erase(i);
    }
    QByteArray LocalHostName(qint16) override { return "fuzz.host"; }

    Connecter& Open(qint16 i, int step)
    {
        sessions[i] = std::make_unique<Connecter>();
        sessions[i]->SetStep(step);
        return *sessions[i];
    }
};

// Hands `stream` to `handler` the way the connection manager does: bytes arrive in chunks,
// gather in the session's Command, and go to the handler whenever the buffer ends with
// CR LF. The low bits of `chunking` pick the chunks: 0 one line each (as most clients
// send), 127 the whole stream at once, n 1..n bytes each. A closing
// connection (Step 6) is released at once unless the top bit of `chunking` lets data that
// arrived before the send completed reach the handler too. `after` runs after each dispatch.
template <class Handler, class After>
void Feed(StubServer& server, qint16 index, const QByteArray& stream, uint8_t chunking, Handler handler, After after)
{
    const int most = chunking & 0x7f;
    const bool lingering = chunking & 0x80;
    uint32_t seed = chunking * 2654435761u + 1;
    qsizetype pos = 0;
    while (pos < stream.size()) {
        qsizetype n = stream.size() - pos;
        if (most == 0) {
            const qsizetype lf = stream.indexOf('\n', pos);
            if (lf >= 0) n = lf + 1 - pos;
        } else if (most != 0x7f) {
            seed = seed * 1103515245u + 12345u;
            n = std::min<qsizetype>(n, 1 + (seed >> 16) % most);
        }
        Connecter* c = server.Session(index);
        if (!c)
            return;
        c->Command.append(stream.constData() + pos, n);
        pos += n;
        if (!c->Command.endsWith("\r\n"))
            continue;
        handler(server, index, QByteArray(c->Command));
        after();
        c = server.Session(index);
        if (c && c->Step() == Closing && !lingering) {
            server.Release(index);
            return;
        }
    }
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
