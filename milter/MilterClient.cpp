#include "milter/MilterClient.h"
#include "core/Settings.h"
#include "core/Access.h"
#include "core/mdlCommon.h"
#include "deliver/Envelope.h"

#include <QDeadlineTimer>
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace Milters {
namespace {

using Milter::Result;

Result Failed(const QByteArray& why)
{
    Result r;
    r.kind = Result::Failed;
    r.why = why;
    return r;
}

QByteArray Errno() { return QByteArray(strerror(errno)); }

// Waits until the descriptor is ready for `events`; false on a time-out.
bool Ready(int fd, short events, int timeoutMs)
{
    pollfd p{fd, events, 0};
    for (;;) {
        const int n = poll(&p, 1, timeoutMs);
        if (n < 0 && errno == EINTR) continue;
        return n > 0;
    }
}

struct Socket {
    int fd = -1;
    ~Socket() { if (fd >= 0) close(fd); }
};

// A non-blocking connect that gives up after the time-out; "" when connected.
QByteArray Connect(Socket& s, const sockaddr* address, socklen_t length, int timeoutMs)
{
    s.fd = socket(address->sa_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s.fd < 0)
        return "socket: " + Errno();
    if (connect(s.fd, address, length) == 0)
        return {};
    if (errno != EINPROGRESS)
        return "connect: " + Errno();
    if (!Ready(s.fd, POLLOUT, timeoutMs))
        return "connect: no answer in " + QByteArray::number(timeoutMs / 1000) + " s";
    int error = 0;
    socklen_t size = sizeof error;
    getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &error, &size);
    return error ? "connect: " + QByteArray(strerror(error)) : QByteArray();
}

QByteArray Open(const Filter& f, Socket& s, int timeoutMs)
{
    if (!f.path.isEmpty()) {
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        if (size_t(f.path.size()) >= sizeof a.sun_path)
            return "socket path too long";
        memcpy(a.sun_path, f.path.constData(), size_t(f.path.size()));
        return Connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a, timeoutMs);
    }
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (const int e = getaddrinfo(f.host.constData(), QByteArray::number(f.port).constData(), &hints, &found); e != 0)
        return "cannot resolve " + f.host + ": " + gai_strerror(e);
    QByteArray why = "no address";
    for (addrinfo* a = found; a; a = a->ai_next) {
        Socket attempt;
        why = Connect(attempt, a->ai_addr, a->ai_addrlen, timeoutMs);
        if (why.isEmpty()) {
            std::swap(s.fd, attempt.fd);
            break;
        }
    }
    freeaddrinfo(found);
    return why;
}

QByteArray SendAll(int fd, const QByteArray& bytes, int timeoutMs)
{
    qsizetype at = 0;
    while (at < bytes.size()) {
        const ssize_t n = send(fd, bytes.constData() + at, size_t(bytes.size() - at), MSG_NOSIGNAL);
        if (n > 0) {
            at += n;
        } else if (n < 0 && errno == EINTR) {
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!Ready(fd, POLLOUT, timeoutMs))
                return "the filter takes nothing for " + QByteArray::number(timeoutMs / 1000) + " s";
        } else {
            return "send: " + Errno();
        }
    }
    return {};
}

QByteArray Oneline(QByteArray reply) { return reply.replace("\r\n", " "); }

}

QList<Filter> ParseList(const QString& setting)
{
    QList<Filter> out;
    for (const QString& part : setting.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QByteArray entry = part.trimmed().toUtf8();
        if (entry.isEmpty()) continue;
        Filter f;
        f.name = entry;
        if (entry.startsWith("unix:") || entry.startsWith("local:")) {
            f.path = entry.mid(entry.indexOf(':') + 1);
            if (f.path.isEmpty()) f.error = "no socket path";
        } else if (entry.startsWith("inet:") || entry.startsWith("inet6:")) {
            const QByteArray rest = entry.mid(entry.indexOf(':') + 1);
            const qsizetype colon = rest.lastIndexOf(':');
            bool ok = false;
            const uint port = colon > 0 ? rest.mid(colon + 1).toUInt(&ok) : 0;
            f.host = colon > 0 ? rest.left(colon) : QByteArray();
            if (f.host.startsWith('[') && f.host.endsWith(']')) f.host = f.host.mid(1, f.host.size() - 2);
            f.port = quint16(port);
            if (!ok || port == 0 || port > 65535 || f.host.isEmpty()) f.error = "not inet:host:port";
        } else {
            f.error = "neither inet:host:port nor unix:/path";
        }
        out << f;
    }
    return out;
}

Result Talk(const Filter& f, Milter::Conversation& c, int timeoutMs)
{
    if (!f.error.isEmpty())
        return Failed(f.error);
    Socket s;
    if (const QByteArray why = Open(f, s, timeoutMs); !why.isEmpty())
        return Failed(why);
    QByteArray out = c.Begin(), in;
    char chunk[65536];
    // A filter that keeps saying "progress" still ends: the whole conversation gets ten replies' time.
    QDeadlineTimer whole(qint64(timeoutMs) * 10);
    while (!c.Done()) {
        if (whole.hasExpired()) {
            c.Fail("still at it after " + QByteArray::number(timeoutMs / 100) + " s");
            break;
        }
        if (const QByteArray why = SendAll(s.fd, std::exchange(out, {}), timeoutMs); !why.isEmpty()) {
            c.Fail(why);
            break;
        }
        Milter::Packet p;
        Milter::Take took;
        while ((took = Milter::Decode(in, p)) == Milter::Take::More) {
            if (!Ready(s.fd, POLLIN, timeoutMs)) {
                c.Fail("no reply in " + QByteArray::number(timeoutMs / 1000) + " s");
                break;
            }
            const ssize_t n = recv(s.fd, chunk, sizeof chunk, 0);
            if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
                c.Fail(n == 0 ? QByteArray("the filter closed the connection") : "recv: " + Errno());
                break;
            }
            if (n > 0) in.append(chunk, n);
        }
        if (c.Done()) break;
        if (took == Milter::Take::Bad) {
            c.Fail("a packet of impossible length");
            break;
        }
        out = c.Feed(p);
    }
    SendAll(s.fd, out, 1000);   // the quit, when the conversation ended well
    return c.Outcome();
}

bool Applies(const Settings& settings, const Envelope& m)
{
    if (settings.Milters.trimmed().isEmpty() || m.origin != Envelope::Origin::Smtp)
        return false;
    return settings.MilterOutgoing || (m.user.isEmpty() && !Access::MayRelay(settings, m.client));
}

Verdict Run(const Settings& settings, Envelope& m)
{
    Verdict v;
    Milter::Message msg{m.sender, m.recipients, m.text, m.helo, m.client, settings.HostName.toUtf8(), m.user.toUtf8(),
                        QByteArray::number(QRandomGenerator::global()->generate64() & 0xFFFFFFFFFFull, 16).toUpper()};
    m.text.clear();   // one copy at a time
    for (const Filter& f : ParseList(settings.Milters)) {
        const QByteArray who = "Milter " + f.name + ": ";
        Milter::Conversation c(msg, settings.MemoryBudget);
        const Result r = Talk(f, c, settings.MilterTimeout * 1000);
        for (const Result::Refused& x : r.refused) {
            msg.recipients.removeOne(x.address);
            v.log << who + "reject " + Oneline(x.reply) + " for <" + x.address + '>';
        }
        if (r.kind == Result::Failed) {
            if (settings.MilterDefaultAccept) {
                v.log << who + "not used (" + r.why + "), passed per MilterDefault";
                continue;
            }
            v.refusal = "451 4.7.1 Service unavailable - try again later";
            v.log << who + "tempfail 451 4.7.1 (" + r.why + ')';
            break;
        }
        if (r.kind == Result::Reject || r.kind == Result::Tempfail) {
            v.refusal = r.reply;
            v.log << who + (r.kind == Result::Reject ? "reject " : "tempfail ") + Oneline(r.reply) + (r.why.isEmpty() ? "" : " (" + r.why + ')');
            break;
        }
        if (r.kind == Result::Discard) {
            v.discarded = true;
            v.log << who + "discard";
            break;
        }
        const QByteArray changes = Milter::Apply(msg, r);
        v.log << who + (r.kind == Result::Accept ? "accept" : "continue") + (changes.isEmpty() ? QByteArray() : " (" + changes + ')');
    }
    m.sender = msg.sender;
    if (msg.recipients != m.recipients) {
        m.recipients = msg.recipients;
        m.classified.clear();   // classified afresh, added ones too
    }
    m.text = std::move(msg.text);
    return v;
}

}
