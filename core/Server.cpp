#include "core/Server.h"
#include "core/Connecter.h"

#include <cerrno>
#include <unistd.h>
#include <utility>

FileReply::FileReply(FileReply&& other) noexcept
    : head(std::move(other.head)), fd(std::exchange(other.fd, -1)), offset(other.offset), length(other.length), tail(std::move(other.tail)) {}

FileReply& FileReply::operator=(FileReply&& other) noexcept
{
    if (this != &other) {
        if (fd >= 0) ::close(fd);
        head = std::move(other.head);
        fd = std::exchange(other.fd, -1);
        offset = other.offset;
        length = other.length;
        tail = std::move(other.tail);
    }
    return *this;
}

FileReply::~FileReply()
{
    if (fd >= 0) ::close(fd);
}

bool FileReply::EndsWithCrLf() const
{
    char end[2];
    return fd >= 0 && length >= 2 && ::pread(fd, end, 2, offset + length - 2) == 2 && end[0] == '\r' && end[1] == '\n';
}

QByteArray FileReply::Read() const
{
    QByteArray out = head;
    if (fd >= 0 && length > 0) {
        const qsizetype start = out.size();
        out.resize(start + length);
        qint64 got = 0;
        while (got < length) {
            const ssize_t r = ::pread(fd, out.data() + start + got, size_t(length - got), offset + got);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) break;   // a file that shrank meanwhile gives what is there
            got += r;
        }
        out.truncate(start + got);
    }
    return out + tail;
}

bool Gather(Server& server, qint16 index, const QByteArray& chunk, const CommandHandler& handler)
{
    const QByteArray n = QByteArray::number(index);
    Connecter* c = server.Session(index);
    if (!c) {
        server.Log(n + "-Ignored: " + QByteArray::number(chunk.size()) + " bytes for a connection without a session");
        return false;
    }
    // A new line begins: its clock does not start with the whole lines held back.
    if (c->Command.isEmpty() || c->Command.endsWith('\n'))
        c->LineSince = QDateTime::currentMSecsSinceEpoch();
    c->Command += chunk;
    QByteArray rest;
    const bool partial = c->Part() && c->Part()->TakesPartialLines(c->Step());
    if (partial ? !c->Command.endsWith("\r\n") : !c->Command.endsWith('\n')) {
        // Message text goes on in pieces of whole lines: held until a read happens to end a
        // line, megabytes of it would wait here beside the message; handed on at every read,
        // the log would get a line for every 64 KiB. Past the memory budget it goes at once, to be
        // dropped: a message refused does not wait here either.
        const qsizetype handover = server.OverBudget() ? 0 : PartialHandover;
        const qsizetype cut = partial && c->Command.size() >= handover ? c->Command.lastIndexOf("\r\n") : -1;
        if (cut < 0) {
            if (c->Command.size() > (partial ? MaxBuffer : MaxLineBuffer)) {
                server.Log(n + "-Overflow: " + QByteArray::number(c->Command.size()) + " bytes without CR LF; connection closed");
                server.Release(index);
            }
            return false;
        }
        rest = c->Command.mid(cut + 2);
        c->Command.truncate(cut + 2);
    }
    server.LogReceived(index, c->Part() ? c->Part()->Masked(c->Command, c->Step()) : c->Command);
    // The handler may empty or replace the buffer while it works.
    const QByteArray text = c->Command;
    if (handler)
        handler(server, index, text);
    if (!rest.isEmpty())
        if (Connecter* still = server.Session(index)) {
            still->Command = rest + still->Command;
            still->LineSince = QDateTime::currentMSecsSinceEpoch();
        }
    return true;
}
