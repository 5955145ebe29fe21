#include "relay/MxLookup.h"
#include "core/Failure.h"
#include "core/TextDatabase.h"
#include "core/mdlCommon.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <limits>
#include <fcntl.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

constexpr int ReadChunk = 4096;
constexpr int KilledWaitMs = 1000;

// A row learned from DNS carries in its Priority when it is to be asked again: " 10 (from DNS
// until 2026-12-07T11:45:00Z)". A row without it was written by hand and is kept for good.
const QString LearnedMark = QStringLiteral(" (from DNS until ");
// The script's pipe lives in a folder of its own named after the server's process:
// "tandrivel-getmx-<pid>-XXXXXX" in the temporary folder.
const QString PipePrefix = QStringLiteral("tandrivel-getmx-");

// One run of the script: its pipe, what it wrote so far, and who waits for the answer.
struct DNS::Run {
    std::vector<Answer> waiting;
    std::unique_ptr<QTemporaryDir> dir;
    int fd = -1;
    int opens = -1;   // inotify: tells when the script opens the pipe
    bool opened = false;
    bool timedOut = false;
    QByteArray text;
    std::unique_ptr<QSocketNotifier> reads, openings;
    QTimer timer;
    QString fifo;
    std::unique_ptr<QProcess> script;   // in a process group of its own, stopped with all it started
    QStringList stale;                  // learned rows past their time: the answer when DNS gives none

    // The pipe, in a folder only we can enter, under a fixed name, opened before the script
    // starts; false when it cannot be made.
    bool Open()
    {
        dir = std::make_unique<QTemporaryDir>(
            QDir::tempPath() + QLatin1Char('/') + PipePrefix + QString::number(::getpid()) + QStringLiteral("-XXXXXX"));
        fifo = dir->filePath(QStringLiteral("getmx"));
        const QByteArray fifoName = QFile::encodeName(fifo);
        if (!dir->isValid() || ::mkfifo(fifoName.constData(), 0600) != 0) {
            mdlCommon::Report(QStringLiteral("GetMX: cannot make the pipe: %1").arg(QString::fromLocal8Bit(strerror(errno))));
            return false;
        }
        // With no writer yet, nothing is readable until one comes.
        fd = ::open(fifoName.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return false;
        // The pipe gives no sign when a writer opens it without writing yet; the next open
        // after ours is the script's, and inotify reports it. Without a watch, the first byte counts.
        opens = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (opens >= 0 && ::inotify_add_watch(opens, fifoName.constData(), IN_OPEN) < 0) {
            ::close(opens);
            opens = -1;
        }
        return true;
    }
    ~Run()
    {
        if (script && script->state() != QProcess::NotRunning) {
            ::kill(-pid_t(script->processId()), SIGKILL);
            script->waitForFinished(KilledWaitMs);
        }
        reads.reset();
        openings.reset();
        if (fd >= 0) ::close(fd);
        if (opens >= 0) ::close(opens);
    }
};

// A server stopped by SIGKILL in the middle of a lookup leaves its pipe folder behind; the
// folders of processes that are gone are removed when the next server starts.
static void SweepStalePipes()
{
    const QFileInfoList folders = QDir(QDir::tempPath()).entryInfoList(
        {PipePrefix + QLatin1Char('*')}, QDir::Dirs | QDir::NoSymLinks | QDir::NoDotAndDotDot | QDir::Hidden);
    for (const QFileInfo& folder : folders) {
        bool number = false;
        const pid_t pid = folder.fileName().mid(PipePrefix.size()).section(QLatin1Char('-'), 0, 0).toInt(&number);
        const bool gone = number && pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH;
        if (gone && folder.ownerId() == ::getuid())
            QDir(folder.filePath()).removeRecursively();
    }
}

DNS::DNS()
{
    SweepStalePipes();
}
DNS::~DNS() = default;

QList<DNS::Record> DNS::ParseRecords(const QByteArray& text)
{
    static const QByteArray pref = "MX preference =";
    static const QByteArray exch = "mail exchanger = ";
    QList<Record> records;
    qsizetype p = text.indexOf(pref);
    while (p >= 0) {
        const qsizetype s = p + pref.size();
        const qsizetype comma = text.indexOf(',', s);
        const qsizetype m = comma < 0 ? -1 : text.indexOf(exch, s);
        const qsizetype h = m < 0 ? -1 : m + exch.size();
        const qsizetype crlf = h < 0 ? -1 : text.indexOf("\r\n", h);
        const qsizetype next = text.indexOf(pref, s);
        // A record is whole only when its parts stand in order before the next record.
        const bool whole = comma >= 0 && m >= 0 && crlf >= 0 && comma < m && (next < 0 || crlf < next);
        if (whole) {
            records << Record{QString::fromUtf8(text.mid(s, comma - s)), QString::fromUtf8(text.mid(h, crlf - h))};
            static const QByteArray ttl = "ttl = ";
            if (const qsizetype t = text.indexOf(ttl, comma); t >= 0 && t < m) {
                bool ok = false;
                const qint64 seconds = text.mid(t + ttl.size(), text.indexOf(',', t) - t - ttl.size()).trimmed().toLongLong(&ok);
                records.last().Ttl = ok && seconds >= 0 ? seconds : -1;
            }
        }
        p = whole ? text.indexOf(pref, h) : next;
    }
    return records;
}

QStringList DNS::ByPreference(QList<Record> records)
{
    // A preference that is no number goes last.
    const auto rank = [](const Record& r) {
        bool ok = false;
        const qint64 n = r.Priority.trimmed().section(QLatin1Char(' '), 0, 0).toLongLong(&ok);
        return ok ? n : std::numeric_limits<qint64>::max();
    };
    std::stable_sort(records.begin(), records.end(), [&](const Record& a, const Record& b) { return rank(a) < rank(b); });
    QStringList hosts;
    for (const Record& r : records)
        if (!r.MX.trimmed().isEmpty() && !hosts.contains(r.MX))
            hosts << r.MX;
    return hosts;
}

qint64 DNS::LearnedUntil(const QString& priority)
{
    const qsizetype at = priority.indexOf(LearnedMark);
    if (at < 0)
        return -1;
    const QString stamp = priority.mid(at + LearnedMark.size()).section(QLatin1Char(')'), 0, 0);
    const QDateTime until = QDateTime::fromString(stamp, Qt::ISODate);
    return until.isValid() ? until.toSecsSinceEpoch() : 0;   // unreadable: asked again
}

bool DNS::SaysNoSuchDomain(const QByteArray& output)
{
    return output.contains("NXDOMAIN") || output.contains("Non-existent domain") || output.contains("non-existent domain");
}

namespace {
// The answer the records give: the hosts, or a null MX.
void Answered(const DNS::Answer& answer, const QStringList& hosts, const QString& problem)
{
    if (hosts.contains(QStringLiteral(".")) || hosts.contains(QString()))
        return answer({}, DNS::NullMx);
    answer(hosts, problem);
}
}

void DNS::Lookup(const QString& Domain, Answer answer)
{
    QList<Record> hand, learned;
    qint64 until = std::numeric_limits<qint64>::max();
    try {
        const auto rows = mdlCommon::DbConnection().Execute(
            QStringLiteral("select MX, Priority from DomainMX.txt where Domain=? Order By Priority"), {Domain});
        for (const QStringList& row : rows.rows) {
            const qint64 learnedUntil = LearnedUntil(row.value(1));
            (learnedUntil < 0 ? hand : learned) << Record{row.value(1), row.value(0)};
            if (learnedUntil >= 0)
                until = std::min(until, learnedUntil);
        }
    } catch (const Failure& f) {
        answer({}, QString::fromUtf8(f.text()));
        return;
    }
    // Rows written by hand win; learned ones count until the first of them is due.
    if (!hand.isEmpty() || (!learned.isEmpty() && QDateTime::currentSecsSinceEpoch() < until)) {
        Answered(answer, ByPreference(hand.isEmpty() ? learned : hand), {});
        return;
    }
    if (auto run = running_.find(Domain); run != running_.end()) {
        run->second->waiting.push_back(std::move(answer));
        return;
    }
    // Without the script a shell would only fail after the pipe wait; say so at once.
    const QString script = mdlCommon::ProgramFolder() + QStringLiteral("/GetMX.sh");
    if (!QFileInfo(script).isFile()) {
        mdlCommon::Report(QStringLiteral("GetMX %1: no lookup script %2").arg(Domain, script));
        answer({}, QStringLiteral("no lookup script"));
        return;
    }
    running_[Domain] = std::make_unique<Run>();
    running_[Domain]->waiting.push_back(std::move(answer));
    running_[Domain]->stale = ByPreference(learned);
    Start(Domain);
}

void DNS::Start(const QString& Domain)
{
    Run& run = *running_[Domain];
    const QString script = mdlCommon::ProgramFolder() + QStringLiteral("/GetMX.sh");
    if (!run.Open())
        return Finish(Domain);
    // Started by its own interpreter line when it may be run, else by the shell; in a session of
    // its own, so that a script that hangs is stopped with whatever it started.
    const bool direct = QFileInfo(script).isExecutable();
    run.script = std::make_unique<QProcess>();
    QProcess& p = *run.script;
    p.setProgram(direct ? script : QStringLiteral("/bin/sh"));
    p.setArguments(direct ? QStringList{Domain, run.fifo} : QStringList{script, Domain, run.fifo});
    p.setWorkingDirectory(mdlCommon::ProgramFolder());
    p.setProcessChannelMode(QProcess::ForwardedChannels);
    p.setStandardInputFile(QProcess::nullDevice());
    p.setChildProcessModifier([] { ::setsid(); });
    p.start();
    if (!p.waitForStarted()) {
        mdlCommon::Report(QStringLiteral("GetMX: cannot start %1").arg(script));
        return Finish(Domain);
    }
    Watch(Domain);
}

// The time limits, the script's opening of the pipe, and what it writes, until it closes it.
void DNS::Watch(const QString& Domain)
{
    Run& run = *running_[Domain];
    run.timer.setSingleShot(true);
    QObject::connect(&run.timer, &QTimer::timeout, [this, Domain] {
        Run& r = *running_[Domain];
        // A script that ended without opening the pipe found nothing; one still running hangs.
        r.timedOut = r.script && r.script->state() != QProcess::NotRunning;
        if (r.timedOut)
            mdlCommon::Report(QStringLiteral("GetMX %1: lookup timed out (%2); the script is stopped")
                                  .arg(Domain, r.opened ? QStringLiteral("it did not finish in time") : QStringLiteral("it never opened the pipe")));
        else
            mdlCommon::Report(QStringLiteral("GetMX %1: the script never opened the pipe").arg(Domain));
        Finish(Domain);
    });
    run.timer.start(OpenTimeoutMs);
    const auto opened = [this, Domain, &run] {
        if (run.opened)
            return;
        run.opened = true;
        if (run.openings) run.openings->setEnabled(false);
        run.timer.start(ReadTimeoutMs);
    };
    if (run.opens >= 0) {
        run.openings = std::make_unique<QSocketNotifier>(run.opens, QSocketNotifier::Read);
        QObject::connect(run.openings.get(), &QSocketNotifier::activated, [opened, &run] {
            char events[ReadChunk];
            while (::read(run.opens, events, sizeof events) > 0) {}
            opened();
        });
    }
    run.reads = std::make_unique<QSocketNotifier>(run.fd, QSocketNotifier::Read);
    QObject::connect(run.reads.get(), &QSocketNotifier::activated, [this, Domain, opened, &run] {
        char buffer[ReadChunk];
        for (;;) {
            const ssize_t n = ::read(run.fd, buffer, sizeof buffer);
            if (n > 0) {
                opened();
                run.text.append(buffer, n);
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                return;
            // 0 bytes: the script closed its end. (Until a writer has opened the pipe, the
            // system reports nothing to read.)
            return Finish(Domain);
        }
    });
}

void DNS::Finish(const QString& Domain)
{
    auto node = running_.extract(Domain);
    if (node.empty())
        return;
    std::unique_ptr<Run> run = std::move(node.mapped());
    run->reads.reset();
    run->openings.reset();
    run->timer.stop();
    std::vector<Answer> waiting = std::move(run->waiting);
    const QList<Record> records = ParseRecords(run->text);
    const bool none = records.isEmpty() && SaysNoSuchDomain(run->text);
    QString problem;
    if (!records.isEmpty() || none)
        problem = Learn(Domain, records);
    QStringList hosts = ByPreference(records);
    if (none)
        problem = NoSuchDomain;
    else if (records.isEmpty() && !run->stale.isEmpty())
        hosts = run->stale;   // no answer now: the exchangers known before
    else if (records.isEmpty() && run->timedOut)
        problem = LookupTimedOut;
    run.reset();   // the script stopped before the answers, which may start it again
    // Told once the caller's turn is over: an answer may start another lookup.
    QTimer::singleShot(0, [waiting = std::move(waiting), hosts, problem] {
        for (const Answer& a : waiting)
            Answered(a, hosts, problem);
    });
}

// The learned rows of the domain give way to these records, each kept for its TTL, no longer
// than CacheSeconds. Returns the table's failure, "" when written: the hosts are good for now even so.
QString DNS::Learn(const QString& Domain, const QList<Record>& records)
{
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    try {
        TextDatabase& db = mdlCommon::DbConnection();
        db.Execute(QStringLiteral("Delete From DomainMX.txt where Domain=? And instr(Priority, ?) > 0"), {Domain, LearnedMark});
        for (const Record& r : records) {
            const qint64 keep = r.Ttl < 0 ? CacheSeconds : std::min<qint64>(r.Ttl, CacheSeconds);
            const QString until = QDateTime::fromSecsSinceEpoch(now + keep, Qt::UTC).toString(Qt::ISODate);
            db.Execute(QStringLiteral("Insert Into DomainMX.txt (Domain, MX, Priority) values(?,?,?)"),
                       {Domain, r.MX, r.Priority + LearnedMark + until + QLatin1Char(')')});
        }
    } catch (const Failure& f) {
        return QString::fromUtf8(f.text());
    }
    return {};
}
