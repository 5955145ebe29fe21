// DNS queries through the C library's resolver (libresolv), on the calling thread, with a
// state of their own so that each can name its server and time-out.
#include "dns/Resolver.h"
#include "mail/Domain.h"
#include "core/mdlCommon.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QMutex>
#include <QTcpSocket>
#include <QtEndian>
#include <algorithm>
#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <netinet/in.h>
#include <netdb.h>
#include <resolv.h>
#include <cctype>
#include <cstring>
#include <list>
#include <optional>
#include <unordered_map>

namespace Dns {

namespace {

QByteArray Bare(QByteArray name)
{
    if (name.endsWith('.'))
        name.chop(1);
    return name;
}

QByteArray Name(const QByteArray& name) { return Mail::Domain(name).Name(); }

constexpr int EscapeDigits = 3;   // a byte as \DDD, in decimal

// Names here are the bytes of their labels joined by dots; libresolv reads and writes them in
// presentation form, where a backslash escapes. A name made of what a client sent (an SPF macro
// of its local part) is asked as it is, not read as escapes or cut at a NUL, and a name an
// answer holds comes back as the bytes it is, to be asked again as such. (A label holding a dot
// cannot be told from two labels this way; no mail name has one.)
QByteArray Presentation(const QByteArray& name)
{
    QByteArray text;
    for (const char c : name) {
        const uchar u = uchar(c);
        if (u == '\\' || u <= 0x20 || u >= 0x7f)
            text += '\\' + QByteArray::number(u).rightJustified(EscapeDigits, '0');
        else
            text += c;
    }
    return text;
}

QByteArray Raw(const char* text)
{
    QByteArray name;
    for (const char* p = text; *p; ++p) {
        if (*p != '\\' || !p[1]) {
            name += *p;
        } else if (std::isdigit(uchar(p[1])) && std::isdigit(uchar(p[2])) && std::isdigit(uchar(p[3]))) {
            name += char((p[1] - '0') * 100 + (p[2] - '0') * 10 + (p[3] - '0'));
            p += EscapeDigits;
        } else {
            name += *++p;
        }
    }
    return name;
}

QByteArray Key(const QByteArray& name, Type type) { return Name(name) + '/' + QByteArray::number(int(type)); }

// Answers kept for their time to live (negative ones a minute), as a caching resolver keeps
// them: the mail of one sender asks the same few names over and over. Per server asked. Their
// bytes are bounded, not counted in MemoryBudget: a name server that sends large answers must
// not turn clients away. An answer over MostAnswerBytes (a hostile name server's, hardly ever a
// mail domain's) is used once and asked again next time; the oldest go first to make room.
class Cache {
public:
    static constexpr qint64 NegativeSeconds = 60, LongestSeconds = 3600;
    static constexpr qsizetype MostBytes = qsizetype(8) << 20, MostAnswerBytes = qsizetype(16) << 10;
    static constexpr qsizetype EntryBytes = 160, RecordBytes = 48;   // what the hash, the list and each record cost beyond their text

    std::optional<Answer> Find(const QByteArray& key)
    {
        const QMutexLocker lock(&mutex_);
        const auto e = entries_.find(key);
        if (e == entries_.end())
            return std::nullopt;
        if (e->second.until <= Clock()) {
            Drop(e);
            return std::nullopt;
        }
        return e->second.answer;
    }
    void Keep(const QByteArray& key, const Answer& answer, qint64 seconds)
    {
        const qsizetype bytes = Cost(key, answer);
        if (answer.status == Status::TempError || seconds <= 0 || bytes > MostAnswerBytes)
            return;
        const QMutexLocker lock(&mutex_);
        if (const auto e = entries_.find(key); e != entries_.end())
            Drop(e);
        while (bytes_ + bytes > MostBytes)
            Drop(entries_.find(age_.front()));
        age_.push_back(key);
        entries_.emplace(key, Entry{answer, Clock() + std::min(seconds, LongestSeconds) * 1000, bytes, std::prev(age_.end())});
        bytes_ += bytes;
    }

private:
    struct Entry {
        Answer answer;
        qint64 until;   // ms of the monotonic clock
        qsizetype bytes;
        std::list<QByteArray>::iterator age;
    };
    static qsizetype Cost(const QByteArray& key, const Answer& answer)
    {
        qsizetype bytes = EntryBytes + 2 * key.size();
        for (const QByteArray& r : answer.records)
            bytes += RecordBytes + r.capacity();
        return bytes;
    }
    void Drop(std::unordered_map<QByteArray, Entry>::iterator e)
    {
        bytes_ -= e->second.bytes;
        age_.erase(e->second.age);
        entries_.erase(e);
    }
    static qint64 Clock()
    {
        static const QElapsedTimer started = [] { QElapsedTimer t; t.start(); return t; }();
        return started.elapsed();
    }
    QMutex mutex_;
    std::unordered_map<QByteArray, Entry> entries_;
    std::list<QByteArray> age_;   // the keys, oldest first
    qsizetype bytes_ = 0;
};

Cache& Kept()
{
    static Cache cache;
    return cache;
}

constexpr quint16 DnsPort = 53;
constexpr quint32 LoopbackNet = 127, LoopbackShift = 24;   // 127.0.0.0/8
constexpr int Tries = 2;                       // each given its share of the time-out
constexpr int AnswerBytes = 65536;             // the largest message DNS carries
constexpr int Ipv4Bytes = 4, Ipv6Bytes = 16;
constexpr int MxPreferenceBytes = 2;
constexpr int TlsaHeadBytes = 3;               // usage, selector, matching type

// The OPT record of EDNS (RFC 6891) that res_nquery() adds for RES_USE_EDNS0: root name,
// type 41, the UDP payload we take as its class, no flags, no data.
constexpr quint16 EdnsPayload = 1232;
constexpr int HeaderBytes = 12, ArCountAt = 10, LengthBytes = 2;
constexpr unsigned char OptType = 41;

int WithEdns(unsigned char* query, int size, int room)
{
    const unsigned char opt[] = {0, 0, OptType, EdnsPayload >> 8, EdnsPayload & 0xFF, 0, 0, 0, 0, 0, 0};
    if (size + int(sizeof opt) > room)
        return size;
    std::memcpy(query + size, opt, sizeof opt);
    qToBigEndian<quint16>(qFromBigEndian<quint16>(query + ArCountAt) + 1, query + ArCountAt);
    return size + int(sizeof opt);
}

// The query over TCP (RFC 7766) within `ms`: the reply's size, or -1. The C library's TCP
// read waits without end, so a server that answers UDP cut short and never over TCP would
// hold the check for good.
int AskTcp(const sockaddr_in& server, const unsigned char* query, int size, unsigned char* reply, int room, int ms)
{
    const QDeadlineTimer deadline(std::max(ms, 0));
    QTcpSocket s;
    s.connectToHost(QHostAddress(reinterpret_cast<const sockaddr*>(&server)), qFromBigEndian(server.sin_port));
    if (!s.waitForConnected(int(deadline.remainingTime())))
        return -1;
    QByteArray out(LengthBytes, 0);
    qToBigEndian<quint16>(quint16(size), out.data());
    s.write(out + QByteArray(reinterpret_cast<const char*>(query), size));
    QByteArray in;
    while (in.size() < LengthBytes || in.size() < LengthBytes + qFromBigEndian<quint16>(in.constData())) {
        if (deadline.hasExpired() || !s.waitForReadyRead(int(deadline.remainingTime())))
            return -1;
        in += s.readAll();
    }
    const int n = qFromBigEndian<quint16>(in.constData());
    if (n < HeaderBytes || n > room || std::memcmp(in.constData() + LengthBytes, query, 2) != 0)
        return -1;   // not the answer to this query
    std::memcpy(reply, in.constData() + LengthBytes, n);
    return n;
}

// The character-strings of one TXT record joined; nothing when one runs past the data.
std::optional<QByteArray> TxtRecord(const unsigned char* data, int length)
{
    QByteArray text;
    text.reserve(length);
    for (int at = 0; at < length;) {
        const int piece = data[at];
        if (at + 1 + piece > length)
            return std::nullopt;
        text.append(reinterpret_cast<const char*>(data + at + 1), piece);
        at += 1 + piece;
    }
    return text;
}

// One record of the asked type as its text in Answer::records; nothing to add when its data
// does not fit the type, and false when the whole answer is not to be read.
bool ReadRecord(const ns_msg& msg, const ns_rr& rr, Type type, QList<QByteArray>& records)
{
    const unsigned char* data = ns_rr_rdata(rr);
    const int length = ns_rr_rdlen(rr);
    char host[NS_MAXDNAME];
    switch (type) {
    case Type::A:
        if (length == Ipv4Bytes)
            records << QHostAddress(qFromBigEndian<quint32>(data)).toString().toLatin1();
        break;
    case Type::Aaaa:
        if (length == Ipv6Bytes)
            records << QHostAddress(reinterpret_cast<const quint8*>(data)).toString().toLatin1();
        break;
    case Type::Mx:
        if (length > MxPreferenceBytes
            && dn_expand(ns_msg_base(msg), ns_msg_end(msg), data + MxPreferenceBytes, host, sizeof host) >= 0)
            records << QByteArray::number(data[0] << 8 | data[1]) + ' ' + Bare(Raw(host));
        break;
    case Type::Ptr:
        if (dn_expand(ns_msg_base(msg), ns_msg_end(msg), data, host, sizeof host) >= 0)
            records << Bare(Raw(host));
        break;
    case Type::Tlsa:
        if (length > TlsaHeadBytes)
            records << QByteArray::number(data[0]) + ' ' + QByteArray::number(data[1]) + ' ' + QByteArray::number(data[2]) + ' '
                           + QByteArray(reinterpret_cast<const char*>(data + TlsaHeadBytes), length - TlsaHeadBytes).toHex();
        break;
    case Type::Txt: {
        std::optional<QByteArray> text = TxtRecord(data, length);
        if (!text)
            return false;
        records << *text;
        break;
    }
    }
    return true;
}

// The records of the asked type in the answer section of a reply; the CNAMEs on the way are
// passed over. `ttl` becomes the least time to live of the records found.
Answer ReadAnswer(const unsigned char* reply, int size, Type type, qint64& ttl)
{
    Answer answer;
    ns_msg msg;
    if (ns_initparse(reply, size, &msg) != 0)
        return answer;
    const int count = ns_msg_count(msg, ns_s_an);
    for (int i = 0; i < count; ++i) {
        ns_rr rr;
        if (ns_parserr(&msg, ns_s_an, i, &rr) != 0)
            return Answer{};
        if (ns_rr_type(rr) != int(type) || ns_rr_class(rr) != ns_c_in)
            continue;
        const qint64 recordTtl = qint64(ns_rr_ttl(rr));
        ttl = answer.records.isEmpty() ? recordTtl : std::min(ttl, recordTtl);
        if (!ReadRecord(msg, rr, type, answer.records))
            return Answer{};
    }
    answer.status = answer.records.isEmpty() ? Status::NoData : Status::Ok;
    if (answer.records.isEmpty())
        ttl = Cache::NegativeSeconds;
    return answer;
}

class LibResolver : public Resolver {
public:
    LibResolver(int timeoutMs, QByteArray server) : timeoutMs_(timeoutMs), server_(std::move(server)) {}

    Answer Query(const QByteArray& name, Type type) override
    {
        const QByteArray key = server_ + ' ' + Key(name, type);
        if (std::optional<Answer> kept = Kept().Find(key))
            return *kept;
        qint64 ttl = Cache::NegativeSeconds;
        Answer answer = Ask(name, type, ttl);
        Kept().Keep(key, answer, ttl);
        return answer;
    }

private:
    // A resolver state of our own: the server named, or the system's when none is; false when
    // the state cannot be made or the server is not an IPv4 address.
    bool Open(struct __res_state& st) const
    {
        std::memset(&st, 0, sizeof st);
        if (res_ninit(&st) != 0)
            return false;
        st.retry = Tries;
        st.retrans = std::max(1, timeoutMs_ / (Tries * 1000));
        if (server_.isEmpty())
            return true;
        in_addr a{};
        if (inet_pton(AF_INET, server_.constData(), &a) != 1) {
            res_nclose(&st);
            return false;
        }
        st.nscount = 1;
        st.nsaddr_list[0].sin_family = AF_INET;
        st.nsaddr_list[0].sin_port = htons(DnsPort);
        st.nsaddr_list[0].sin_addr = a;
        return true;
    }

    // `ttl` becomes the least time to live of the records found. A reply cut short over UDP
    // is asked again over TCP, in what is left of the time-out.
    Answer Ask(const QByteArray& name, Type type, qint64& ttl) const
    {
        QElapsedTimer clock;
        clock.start();
        struct __res_state st;
        if (!Open(st))
            return Answer{};
        // RES_TRUSTAD: the AD bit asked for and kept in the reply; Answer::authentic judges it.
        st.options |= RES_IGNTC | RES_TRUSTAD;
        unsigned char query[NS_PACKETSZ];
        unsigned char reply[AnswerBytes];
        int size = res_nmkquery(&st, ns_o_query, Presentation(Bare(name)).constData(), ns_c_in, int(type), nullptr, 0, nullptr, query, sizeof query);
        if (size > 0)
            size = WithEdns(query, size, sizeof query);
        int n = size > 0 ? res_nsend(&st, query, size, reply, sizeof reply) : -1;
        // A reply cut short over UDP is asked again over TCP; so is a failure, as the C library
        // drops a SERVFAIL reply, which a validating resolver gives for a bogus signature.
        if (n < 0 || (n >= HeaderBytes && reinterpret_cast<const HEADER*>(reply)->tc))
            n = size > 0 && st.nsaddr_list[0].sin_family == AF_INET
                    ? AskTcp(st.nsaddr_list[0], query, size, reply, sizeof reply, timeoutMs_ - int(clock.elapsed()))
                    : -1;
        // The AD bit means something only from a resolver on this machine: the way to it
        // cannot be tampered with.
        const bool local = (ntohl(st.nsaddr_list[0].sin_addr.s_addr) >> LoopbackShift) == LoopbackNet;
        res_nclose(&st);
        if (n < HeaderBytes)
            return Answer{};
        switch (reinterpret_cast<const HEADER*>(reply)->rcode) {
        case ns_r_noerror: {
            Answer answer = ReadAnswer(reply, n, type, ttl);
            answer.authentic = local && reinterpret_cast<const HEADER*>(reply)->ad;
            return answer;
        }
        case ns_r_nxdomain: return Answer{Status::NoSuchDomain, {}};
        case ns_r_servfail: return Answer{Status::TempError, {}, false, true};
        default: return Answer{};
        }
    }

    int timeoutMs_;
    QByteArray server_;
};

}

std::unique_ptr<Resolver> MakeResolver(const QString& server, int timeoutMs)
{
    return std::make_unique<LibResolver>(timeoutMs, server.toLatin1());
}

void Table::Add(const QByteArray& name, Type type, const QByteArray& record)
{
    Answer& a = answers_[Key(name, type)];
    a.status = Status::Ok;
    a.records << record;
    names_[Name(name)] = true;
}

void Table::Set(const QByteArray& name, Type type, Status status)
{
    answers_[Key(name, type)] = Answer{status, {}};
    if (status != Status::NoSuchDomain)
        names_[Name(name)] = true;
}

Answer Table::Query(const QByteArray& name, Type type)
{
    ++queries;
    if (const auto a = answers_.constFind(Key(name, type)); a != answers_.constEnd())
        return *a;
    if (names_.contains(Name(name)))
        return Answer{Status::NoData, {}};
    return Answer{Status::NoSuchDomain, {}};
}

}
