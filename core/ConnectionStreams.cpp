// The connection manager's long replies: a file's stretch sent as the connection takes it,
// so that a message of any size costs the server no more than StreamLowWater per connection.
#include "core/ConnectionManager.h"
#include "core/LogList.h"

#include <QSslSocket>
#include <cerrno>
#include <unistd.h>

namespace {
QByteArray N(qint64 n) { return QByteArray::number(n); }
}

void ConnectionManager::SendFile(qint16 index, FileReply reply)
{
    QSslSocket* s = Element(index);
    const qint64 total = reply.head.size() + (reply.fd >= 0 ? reply.length : 0) + reply.tail.size();
    if (!s || reply.fd < 0 || total <= LogList::HeadBytes)
        return SendReplyTaken(index, reply.Read());   // short enough to hold, or nowhere to go
    if (!SlotOf(index).quiet) {
        // The log keeps the head of a line: only that much of the file is read for it.
        FileReply start;
        start.fd = ::dup(reply.fd);
        start.offset = reply.offset;
        start.length = std::min<qint64>(reply.length, LogList::HeadBytes);
        log_.Add(N(index) + '>', reply.head + start.Read(), N(index).size() + 1 + total);
    }
    auto& queue = outgoing_[index];
    queue.emplace_back(std::move(reply));
    Pump(index, s);
    Wrote(index, s);
}

void ConnectionManager::Pump(qint16 index, QSslSocket* s)
{
    const auto it = outgoing_.find(index);
    if (it == outgoing_.end())
        return;
    auto& queue = it->second;
    // A reply's line rides with the file's first stretch and the final line with its last, so
    // no piece of it waits for the ACK of the one before.
    QByteArray out;
    while (!queue.empty() && s->bytesToWrite() + s->encryptedBytesToWrite() + out.size() < StreamLowWater) {
        Piece& p = queue.front();
        FileReply& f = p.file;
        if (f.fd < 0) {
            out += p.bytes;
            queue.pop_front();
            continue;
        }
        out += f.head;
        f.head.clear();
        if (f.length > 0) {
            const qint64 at = out.size();
            out.resize(at + std::min(f.length, StreamChunk));
            ssize_t r;
            do {
                r = ::pread(f.fd, out.data() + at, size_t(out.size() - at), f.offset);
            } while (r < 0 && errno == EINTR);
            out.truncate(at + std::max<ssize_t>(r, 0));
            if (r > 0) {
                f.offset += r;
                f.length -= r;
                // A stretch a write: one write of several costs Qt's socket far more CPU (a 1 MB
                // message: 126 against 678 a second). The last stretch still takes the final line.
                if (f.length > 0) {
                    Put(index, s, out);
                    out.clear();
                }
                continue;
            }
            f.length = 0;   // a file that shrank meanwhile gives what was there
        }
        out += f.tail + "\r\n";
        queue.pop_front();   // closes the file
    }
    if (!out.isEmpty())
        Put(index, s, out);
    if (queue.empty())
        outgoing_.erase(it);
}
