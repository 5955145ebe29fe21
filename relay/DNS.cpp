#include "relay/DNS.h"
#include "core/Failure.h"
#include "core/TextDatabase.h"
#include "core/mdlCommon.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

DNS& TheDNS()
{
    static DNS dns;
    return dns;
}

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
        if (whole)
            records << Record{QString::fromUtf8(text.mid(s, comma - s)), QString::fromUtf8(text.mid(h, crlf - h))};
        p = whole ? text.indexOf(pref, h) : next;
    }
    return records;
}

QString DNS::GetMX(const QString& Domain)
{
    TextDatabase& db = mdlCommon::DbConnection();
    const auto known = db.Execute(QStringLiteral("select MX from DomainMX.txt where Domain=? Order By Priority"), {Domain});
    if (!known.rows.isEmpty())
        return known.rows.first().value(0);

    const QList<Record> records = ParseRecords(LookupMX(Domain));
    if (records.isEmpty())
        return {};
    for (const Record& r : records)
        db.Execute(QStringLiteral("Insert Into DomainMX.txt (Domain, MX, Priority) values(?,?,?)"), {Domain, r.MX, r.Priority});
    return records.last().MX;
}

QByteArray DNS::LookupMX(const QString& Domain)
{
    // Without the script a shell would only fail after the pipe wait; say so at once.
    const QString script = mdlCommon::ProgramFolder() + QStringLiteral("/GetMX.sh");
    if (!QFileInfo(script).isFile()) {
        mdlCommon::Report(QStringLiteral("GetMX %1: no lookup script %2").arg(Domain, script));
        return {};
    }
    // The pipe lives in a folder only we can enter, under a fixed name.
    QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/tandrivel-getmx-XXXXXX"));
    if (!dir.isValid()) {
        mdlCommon::Report(QStringLiteral("GetMX: cannot make a folder for the pipe"));
        return {};
    }
    const QString fifo = dir.filePath(QStringLiteral("getmx"));
    const QByteArray fifoName = QFile::encodeName(fifo);
    if (::mkfifo(fifoName.constData(), 0600) != 0) {
        mdlCommon::Report(QStringLiteral("GetMX: cannot make the pipe: %1").arg(QString::fromLocal8Bit(strerror(errno))));
        return {};
    }
    // Opened before the script starts; with no writer yet, poll reports nothing until one comes.
    const int fd = ::open(fifoName.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return {};
    // The pipe gives no sign when a writer opens it without writing yet; the next open
    // after ours is the script's, and inotify reports it. Without a watch, the first byte counts.
    int opens = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (opens >= 0 && ::inotify_add_watch(opens, fifoName.constData(), IN_OPEN) < 0) {
        ::close(opens);
        opens = -1;
    }

    // Started by its own interpreter line when it may be run, else by the shell.
    const bool direct = QFileInfo(script).isExecutable();
    const bool started = direct ? QProcess::startDetached(script, {Domain, fifo}, mdlCommon::ProgramFolder())
                                : QProcess::startDetached(QStringLiteral("/bin/sh"), {script, Domain, fifo}, mdlCommon::ProgramFolder());
    if (!started) {
        mdlCommon::Report(QStringLiteral("GetMX: cannot start %1").arg(script));
        ::close(fd);
        if (opens >= 0) ::close(opens);
        return {};
    }

    QByteArray text;
    char buffer[4096];
    bool opened = false;
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        const qint64 limit = opened ? ReadTimeoutMs : OpenTimeoutMs;
        const qint64 left = limit - clock.elapsed();
        if (left <= 0) {
            mdlCommon::Report(opened ? QStringLiteral("GetMX %1: the script did not finish in time").arg(Domain)
                                     : QStringLiteral("GetMX %1: the script never opened the pipe").arg(Domain));
            break;
        }
        pollfd pfd[2] = {{fd, POLLIN, 0}, {opened ? -1 : opens, POLLIN, 0}};
        const int ready = ::poll(pfd, 2, int(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) continue;
        if (pfd[1].revents) {
            opened = true;
            if (!pfd[0].revents) continue;
        }
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            opened = true;
            text.append(buffer, n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        break;   // 0 bytes: the script closed its end
    }
    ::close(fd);
    if (opens >= 0) ::close(opens);
    return text;
}
