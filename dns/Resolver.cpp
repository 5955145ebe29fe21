// DNS queries through the C library's resolver (libresolv), on the calling thread, with a
// state of their own so that each can name its server and time-out.
#include "dns/Resolver.h"
#include "mail/Domain.h"
#include "core/mdlCommon.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QMutex>
#include <QtEndian>
#include <algorithm>
#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <netinet/in.h>
#include <netdb.h>
#include <resolv.h>
#include <cctype>
#include <cstring>
#include <optional>

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
// them: the mail of one sender asks the same few names over and over. Per server asked.
class Cache {
public:
    static constexpr qint64 NegativeSeconds = 60, LongestSeconds = 3600;
    static constexpr qsizetype MostEntries = 20000;

    std::optional<Answer> Find(const QByteArray& key)
    {
        const QMutexLocker lock(&mutex_);
        const auto e = entries_.constFind(key);
        if (e == entries_.constEnd() || e->until <= Clock())
            return std::nullopt;
        return e->answer;
    }
    void Keep(const QByteArray& key, const Answer& answer, qint64 seconds)
    {
        if (answer.status == Status::TempError || seconds <= 0)
            return;
        const QMutexLocker lock(&mutex_);
        if (entries_.size() >= MostEntries) {   // the expired first; all when none is
            const qint64 now = Clock();
            entries_.removeIf([now](const auto& e) { return e.value().until <= now; });
            if (entries_.size() >= MostEntries)
                entries_.clear();
        }
        entries_.insert(key, {answer, Clock() + std::min(seconds, LongestSeconds) * 1000});
    }

private:
    struct Entry {
        Answer answer;
        qint64 until;   // ms of the monotonic clock
    };
    static qint64 Clock()
    {
        static const QElapsedTimer started = [] { QElapsedTimer t; t.start(); return t; }();
        return started.elapsed();
    }
    QMutex mutex_;
    QHash<QByteArray, Entry> entries_;
};

Cache& Kept()
{
    static Cache cache;
    return cache;
}

constexpr quint16 DnsPort = 53;
constexpr int Tries = 2;                       // each given its share of the time-out
constexpr int AnswerBytes = 65536;             // the largest message DNS carries
constexpr int Ipv4Bytes = 4, Ipv6Bytes = 16;
constexpr int MxPreferenceBytes = 2;

// What a failed res_nquery() left in its state, as a status.
Status Failed(const struct __res_state& st)
{
    switch (st.res_h_errno) {
    case HOST_NOT_FOUND: return Status::NoSuchDomain;
    case NO_DATA: return Status::NoData;
    default: return Status::TempError;
    }
}

// The character-strings of one TXT record joined; nothing when one runs past the data.
std::optional<QByteArray> TxtRecord(const unsigned char* data, int length)
{
    QByteArray text;
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
        st.options |= RES_USE_EDNS0;
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

    // `ttl` becomes the least time to live of the records found.
    Answer Ask(const QByteArray& name, Type type, qint64& ttl) const
    {
        struct __res_state st;
        if (!Open(st))
            return Answer{};
        unsigned char reply[AnswerBytes];
        const QByteArray query = Presentation(Bare(name));
        const int n = res_nquery(&st, query.constData(), ns_c_in, int(type), reply, sizeof reply);
        const Status failed = n < 0 ? Failed(st) : Status::Ok;
        res_nclose(&st);
        if (n < 0)
            return Answer{failed, {}};
        return ReadAnswer(reply, n, type, ttl);
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
