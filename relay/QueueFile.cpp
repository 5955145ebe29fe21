#include "relay/QueueFile.h"
#include "core/DurableFile.h"
#include "core/Failure.h"
#include "core/mdlCommon.h"
#include "store/Recipient.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QSet>
#include <optional>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace QueueFile {
namespace {

qint64 Now() { return QDateTime::currentSecsSinceEpoch(); }
QByteArray N(qint64 n) { return QByteArray::number(n); }

// Longest trace line read back: ours are far shorter.
constexpr qsizetype MaxHead = 2048;
// Largest envelope file read back: 100 recipients with their trace lines fit many times.
constexpr qint64 MaxEnvelope = qint64(8) << 20;

// Addresses and replies are bytes; Latin-1 carries every byte through JSON unchanged.
QString Text(const QByteArray& b) { return QString::fromLatin1(b); }
QByteArray Bytes(const QJsonValue& v) { return v.toString().toLatin1(); }

QByteArray Time(qint64 secs) { return QDateTime::fromSecsSinceEpoch(secs).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")).toLatin1(); }

QString PathOf(const QString& id, const char* ext) { return Folder() + QLatin1Char('/') + id + QLatin1String(ext); }

QByteArray Json(const QueuedMessage& m)
{
    QJsonArray rs;
    for (const QueuedRecipient& r : m.recipients)
        rs.append(QJsonObject{{"to", Text(r.to)}, {"head", Text(r.head)}, {"attempts", r.attempts},
                              {"next", double(r.next)}, {"reply", Text(r.reply)}});
    return QJsonDocument(QJsonObject{{"from", Text(m.from)}, {"accepted", double(m.accepted)}, {"recipients", rs}}).toJson();
}

// A trace line as we write them: "Received: …" folded with CR LF TAB, ending in CR LF, and no
// other control character. Anything else would go to the exchanger as if it were ours.
bool GoodHead(const QByteArray& head)
{
    if (head.isEmpty())
        return true;
    if (head.size() > MaxHead || !head.startsWith("Received: ") || !head.endsWith("\r\n"))
        return false;
    for (qsizetype i = 0; i < head.size(); ++i) {
        const uchar ch = uchar(head[i]);
        if (ch == '\r') {
            if (i + 1 >= head.size() || head[i + 1] != '\n')
                return false;
        } else if (ch == '\n') {
            if (i + 1 < head.size() && head[i + 1] != '\t')
                return false;
        } else if ((ch < 0x20 && ch != '\t') || ch == 0x7f) {
            return false;
        }
    }
    return true;
}

// A queue file as it was written, or nothing when it is not one we could have written.
std::optional<QueuedMessage> Parse(const QString& id, const QByteArray& json)
{
    const QJsonObject o = QJsonDocument::fromJson(json).object();
    const QJsonArray rs = o.value(QLatin1String("recipients")).toArray();
    if (!o.value(QLatin1String("from")).isString() || !o.value(QLatin1String("accepted")).isDouble() || rs.isEmpty())
        return std::nullopt;
    QueuedMessage m{id, Bytes(o.value(QLatin1String("from"))), qint64(o.value(QLatin1String("accepted")).toDouble()), {}};
    if (BadAddress(m.from))
        return std::nullopt;
    m.recipients.reserve(size_t(rs.size()));
    for (const QJsonValue& v : rs) {
        const QJsonObject r = v.toObject();
        QueuedRecipient q(Bytes(r.value(QLatin1String("to"))), Bytes(r.value(QLatin1String("head"))));
        if (!r.value(QLatin1String("to")).isString() || q.to.isEmpty() || BadAddress(q.to) || !GoodHead(q.head))
            return std::nullopt;
        q.attempts = r.value(QLatin1String("attempts")).toInt();
        q.next = qint64(r.value(QLatin1String("next")).toDouble());
        q.reply = Bytes(r.value(QLatin1String("reply")));
        // Recipients put off together have the same last reply: one copy for all of them.
        if (!m.recipients.empty() && q.reply == m.recipients.back().reply)
            q.reply = m.recipients.back().reply;
        m.recipients.push_back(std::move(q));
    }
    return m;
}

// A regular file of the queue folder, read without following a link; nothing otherwise.
std::optional<QByteArray> ReadPlain(const QString& path, qint64 most)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return std::nullopt;
    struct stat st {};
    std::optional<QByteArray> out;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= most) {
        // Read straight into its place: queue files are written whole and never grow.
        QByteArray data(qsizetype(st.st_size), Qt::Uninitialized);
        qsizetype got = 0;
        while (got < data.size()) {
            const ssize_t n = ::read(fd, data.data() + got, size_t(data.size() - got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            got += n;
        }
        data.truncate(got);
        out = std::move(data);
    }
    ::close(fd);
    return out;
}

}

QString Folder() { return mdlCommon::ProgramFolder() + QStringLiteral("/Queue"); }

void Write(QueuedMessage& m, const QByteArray& text)
{
    if (!QDir().mkpath(Folder()))
        throw FailureFromErrno(errno ? errno : EACCES, Folder());
    if (m.accepted == 0)
        m.accepted = Now();
    const QByteArray tmp = DurableFile::WriteTemporary(Folder(), {text});
    // The queue's own names: the moment and a random part, never one taken before.
    for (int attempt = 0;; ++attempt) {
        const QString id = QDateTime::currentDateTime().toString(QStringLiteral("yyMMdd-HHmmss-"))
                           + QString::number(QRandomGenerator::global()->generate(), 16).rightJustified(8, QLatin1Char('0'));
        const int err = DurableFile::LinkNew(tmp, QFile::encodeName(PathOf(id, ".eml")));
        if (err == EEXIST && attempt < 100)
            continue;
        ::unlink(tmp.constData());
        if (err)
            throw FailureFromErrno(err, Folder());
        m.id = id;
        break;
    }
    try {
        // One flush of the folder for both names.
        DurableFile::Replace(PathOf(m.id, ".json"), Json(m), true);
    } catch (...) {
        QFile::remove(PathOf(m.id, ".eml"));
        throw;
    }
}

void Save(const QueuedMessage& m) { DurableFile::Replace(PathOf(m.id, ".json"), Json(m), false); }

void Remove(const QString& id)
{
    // The envelope first: a message file alone is never taken for a queue entry.
    QFile::remove(PathOf(id, ".json"));
    QFile::remove(PathOf(id, ".eml"));
}

FileReply Open(const QString& id)
{
    const QString path = PathOf(id, ".eml");
    FileReply f;
    f.fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    struct stat st {};
    if (f.fd < 0 || ::fstat(f.fd, &st) != 0)
        throw FailureFromErrno(errno, path);
    if (!S_ISREG(st.st_mode))
        throw FailureFromErrno(EINVAL, path);
    f.length = st.st_size;
    return f;
}

QByteArray Start(const QString& id, qint64 bytes)
{
    FileReply f = Open(id);
    f.length = std::min(f.length, bytes);
    return f.Read();
}

namespace {
// The queue folder's files: envelopes by name, and the ids of message texts (plain files
// among them) and of envelopes.
struct Listing {
    std::vector<QString> envelopes;
    QSet<QString> texts, plainTexts, envelopeIds;
};

// One walk through the folder, with each file's type as the directory gives it: a lookup
// per file is what a queue of thousands of messages would spend its start-up on.
Listing List(const QByteArray& path)
{
    Listing l;
    auto& [envelopes, texts, plainTexts, envelopeIds] = l;
    if (DIR* d = ::opendir(path.constData())) {
        while (const dirent* e = ::readdir(d)) {
            const qsizetype length = qsizetype(strlen(e->d_name));
            const bool json = length > 5 && memcmp(e->d_name + length - 5, ".json", 5) == 0;
            if (!json && !(length > 4 && memcmp(e->d_name + length - 4, ".eml", 4) == 0))
                continue;
            unsigned char type = e->d_type;
            if (type == DT_UNKNOWN) {
                struct stat st {};
                type = ::fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ? DT_UNKNOWN
                       : S_ISREG(st.st_mode)                                        ? DT_REG
                       : S_ISDIR(st.st_mode)                                        ? DT_DIR
                                                                                    : DT_LNK;
            }
            if (type == DT_DIR)
                continue;
            const QString name = QFile::decodeName(e->d_name);
            if (json) {
                envelopes.push_back(name);
                envelopeIds.insert(name.chopped(5));
            } else {
                texts.insert(name.chopped(4));
                if (type == DT_REG)
                    plainTexts.insert(name.chopped(4));
            }
        }
        ::closedir(d);
    }
    std::sort(envelopes.begin(), envelopes.end());
    return l;
}
}

std::vector<QueuedMessage> Read(QStringList* damaged)
{
    const QString folder = Folder();
    const auto [envelopes, texts, plainTexts, envelopeIds] = List(QFile::encodeName(folder));
    std::vector<QueuedMessage> messages;
    messages.reserve(envelopes.size());
    for (const QString& name : envelopes) {
        const QString id = name.chopped(5);
        std::optional<QueuedMessage> m;
        if (plainTexts.contains(id))
            if (const auto json = ReadPlain(folder + QLatin1Char('/') + name, MaxEnvelope))
                m = Parse(id, *json);
        if (m)
            messages.push_back(std::move(*m));
        else if (damaged)
            *damaged << name << (texts.contains(id) ? QStringList{id + QStringLiteral(".eml")} : QStringList{});
    }
    // A message file without its envelope was never acknowledged, or its envelope is lost.
    if (damaged) {
        QStringList alone;
        for (const QString& id : texts)
            if (!envelopeIds.contains(id))
                alone << id + QStringLiteral(".eml");
        alone.sort();
        *damaged << alone;
    }
    return messages;
}

QList<QByteArray> Tidy(const QStringList& damaged)
{
    QList<QByteArray> lines;
    const QDir dir(Folder());
    for (const QString& name : damaged) {
        // Kept for whoever can make sense of it; never deleted.
        dir.mkpath(QStringLiteral("damaged"));
        const bool moved = QFile::rename(dir.filePath(name), dir.filePath(QStringLiteral("damaged/") + name));
        lines << "Queue: " + name.toUtf8() + " cannot be read; " + (moved ? "moved to Queue/damaged" : "could not be moved aside");
    }
    // Writes cut short by a stop: never acknowledged.
    for (const QString& name : dir.entryList({QStringLiteral(".incoming-*.tmp"), QStringLiteral("*.json.tmp")}, QDir::Files | QDir::Hidden))
        QFile::remove(dir.filePath(name));
    return lines;
}

QByteArray Listing()
{
    QStringList damaged;
    const std::vector<QueuedMessage> messages = Read(&damaged);
    const qint64 now = Now();
    QByteArray out;
    int recipients = 0;
    // Turning a moment into local time costs more than the rest of a line: the recipients of a
    // message, put off together, share theirs.
    qint64 shownAt = -1;
    QByteArray shown;
    for (const QueuedMessage& m : messages) {
        const QByteArray id = m.id.toLatin1();
        for (const QueuedRecipient& r : m.recipients) {
            ++recipients;
            if (r.next > now && r.next != shownAt)
                shown = Time(shownAt = r.next);
            out.append(id).append("  <").append(m.from).append("> -> <").append(r.to).append(">  attempts ").append(N(r.attempts));
            out.append("  next ").append(r.next <= now ? QByteArray("now") : shown).append("  last: ");
            out.append(r.reply.isEmpty() ? QByteArray("-") : r.reply).append('\n');
        }
    }
    for (const QString& name : damaged)
        out += "unreadable: " + name.toUtf8() + " (moved aside at the next start)\n";
    return "Queue " + Folder().toUtf8() + ": " + N(qint64(messages.size())) + " messages, " + N(recipients) + " recipients\n" + out;
}

QString FlushRequest()
{
    const QString path = Folder() + QStringLiteral("/flush");
    QFile f(path);
    if (!QDir().mkpath(Folder()) || !f.open(QIODevice::WriteOnly))
        throw Failure(Err::PermissionDenied, QStringLiteral("Cannot write %1: %2").arg(path, f.errorString()));
    return path;
}

bool TakeFlushRequest() { return QFile::remove(Folder() + QStringLiteral("/flush")); }

}
