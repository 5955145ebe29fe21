// The connection manager's long replies: a file's stretch sent as the connection takes it,
// so that a message of any size costs the server no more than StreamLowWater per connection.
#include "core/ConnectionManager.h"
#include "core/LogList.h"

#include <QSslSocket>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
QByteArray N(qint64 n) { return QByteArray::number(n); }

// What the system takes of `bytes` now; the rest stays in it. True once it is all out.
bool SendNow(int socket, QByteArray& bytes)
{
    while (!bytes.isEmpty()) {
        const ssize_t r = ::send(socket, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        bytes.remove(0, r);
    }
    return true;
}

// What the system takes of the file's stretch now, without copying it through us.
bool SendFileNow(int socket, FileReply& f)
{
    while (f.length > 0) {
        off_t at = f.offset;
        const ssize_t r = ::sendfile(socket, f.fd, &at, size_t(f.length));
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return false;
        if (r == 0) {
            f.length = 0;   // a file that shrank meanwhile gives what was there
            break;
        }
        f.offset += r;
        f.length -= r;
    }
    return true;
}

// The file's next stretch of at most `most` bytes, after `out`; false at its end.
bool ReadStretch(FileReply& f, QByteArray& out, qint64 most)
{
    const qint64 at = out.size();
    out.resize(at + std::min(f.length, most));
    ssize_t r;
    do {
        r = ::pread(f.fd, out.data() + at, size_t(out.size() - at), f.offset);
    } while (r < 0 && errno == EINTR);
    out.truncate(at + std::max<ssize_t>(r, 0));
    if (r <= 0)
        return false;
    f.offset += r;
    f.length -= r;
    return true;
}

void Cork(int socket, int on) { ::setsockopt(socket, IPPROTO_TCP, TCP_CORK, &on, sizeof on); }
}

void ConnectionManager::SendFile(qint16 index, FileReply reply)
{
    QSslSocket* s = Element(index);
    const qint64 total = reply.head.size() + (reply.fd >= 0 ? reply.length : 0) + reply.tail.size();
    if (!s || reply.fd < 0 || total <= LogList::HeadBytes)
        return SendReplyTaken(index, reply.Read());   // short enough to hold, or nowhere to go
    if (!SlotOf(index).quiet) {
        // The log keeps the head of a line: only that much of the file is read for it, and
        // those bytes go out behind the reply's line instead of being sent from the file again.
        if (!ReadStretch(reply, reply.head, LogList::HeadBytes))
            reply.length = 0;   // a file that shrank meanwhile gives what was there
        log_.Add(N(index) + '>', reply.head, N(index).size() + 1 + total);
    }
    reply.tail += "\r\n";
    auto& queue = outgoing_[index];
    queue.emplace_back(std::move(reply));
    Pump(index, s);
    if (!outgoing_.count(index) && s->bytesToWrite() == 0) {
        // All of it went straight to the system: no completion of the socket's will tell.
        if (turnDepth_ > 0)
            straight_.insert(index);
        else
            QMetaObject::invokeMethod(this, [this, index, s] { if (Element(index) == s) Written(index, s); }, Qt::QueuedConnection);
    }
    Wrote(index, s);
}

bool ConnectionManager::Straight(QSslSocket* s, FileReply& f)
{
    const int socket = int(s->socketDescriptor());
    // Corked, the reply's line, the file and the final line leave in full segments, and the
    // client is woken once for them, not once for each.
    log_.Flush();   // the lines before a reply are written out before it
    Cork(socket, 1);
    const bool all = SendNow(socket, f.head) && SendFileNow(socket, f) && SendNow(socket, f.tail);
    Cork(socket, 0);
    return all;
}

void ConnectionManager::Pump(qint16 index, QSslSocket* s)
{
    const auto it = outgoing_.find(index);
    if (it == outgoing_.end())
        return;
    auto& queue = it->second;
    SendHeld(index, s);   // the replies before this one, held for the end of the turn, go first
    const bool plain = !IsEncrypted(index);
    // A reply's line rides with the file's first stretch and the final line with its last, so
    // no piece of it waits for the ACK of the one before.
    QByteArray out;
    bool full = false;   // the system took less than offered: one stretch goes to the socket
    while (!queue.empty() && s->bytesToWrite() + s->encryptedBytesToWrite() + out.size() < StreamLowWater) {
        Piece& p = queue.front();
        FileReply& f = p.file;
        if (f.fd < 0) {
            out += p.bytes;
            queue.pop_front();
            continue;
        }
        // Nothing of ours ahead of it in the socket: the file goes from the file system to
        // the connection, as much as the system takes. The rest waits for the socket to
        // have room, through its buffer: its completion brings us back here.
        if (plain && out.isEmpty() && s->bytesToWrite() == 0) {
            if (Straight(s, f)) {
                queue.pop_front();   // closes the file
                continue;
            }
            full = true;
        }
        out += f.head;
        f.head.clear();
        if (f.length > 0) {
            if (ReadStretch(f, out, StreamChunk)) {
                // A stretch a write: one write of several costs Qt's socket far more CPU (a 1 MB
                // message: 126 against 678 a second). The last stretch still takes the final line.
                if (f.length > 0) {
                    Put(index, s, out);
                    out.clear();
                    if (full)
                        break;
                }
                continue;
            }
            f.length = 0;   // a file that shrank meanwhile gives what was there
        }
        out += f.tail;
        queue.pop_front();   // closes the file
    }
    if (!out.isEmpty())
        Put(index, s, out);
    if (queue.empty())
        outgoing_.erase(it);
}
