#include "relay/RelayHost.h"
#include "core/Settings.h"
#include "core/mdlCommon.h"

#include <QDir>
#include <QFile>
#include <sys/stat.h>

namespace RelayHost {
namespace {

QString Absolute(const QString& setting) { return QDir(mdlCommon::ProgramFolder()).absoluteFilePath(setting); }

// "host", "host:port", "[address]" or "[address]:port"; false when the port is no port.
bool Split(const QString& setting, QString& host, quint16& port)
{
    QString rest;
    if (setting.startsWith(QLatin1Char('['))) {
        const qsizetype end = setting.indexOf(QLatin1Char(']'));
        if (end < 0)
            return false;
        host = setting.mid(1, end - 1);
        rest = setting.mid(end + 1);
        if (!rest.isEmpty() && !rest.startsWith(QLatin1Char(':')))
            return false;
    } else if (setting.count(QLatin1Char(':')) == 1) {
        host = setting.section(QLatin1Char(':'), 0, 0);
        rest = QLatin1Char(':') + setting.section(QLatin1Char(':'), 1);
    } else {
        host = setting;   // a name, or a bare IPv6 address
    }
    if (!rest.isEmpty()) {
        const int n = mdlCommon::PortNumber(rest.mid(1));
        if (n <= 0)
            return false;
        port = quint16(n);
    }
    return !host.isEmpty();
}

// The first line of the password file, or "" with `problem` set.
QByteArray Password(const QString& setting, QByteArray& problem)
{
    if (setting.isEmpty()) {
        problem = "RelayHostUser is set but RelayHostPasswordFile is not";
        return {};
    }
    const QString path = Absolute(setting);
    const QByteArray shown = QFile::encodeName(path);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        problem = "cannot read password file " + shown + ": " + file.errorString().toUtf8();
        return {};
    }
    struct stat st {};
    if (::fstat(file.handle(), &st) != 0 || (st.st_mode & 077)) {
        problem = "password file " + shown + " may be read by others (mode 0" + QByteArray::number(st.st_mode & 0777, 8)
                  + "); it is not used until only its owner may (chmod 600)";
        return {};
    }
    QByteArray line = file.read(4096);
    line.truncate(line.indexOf('\n') < 0 ? line.size() : line.indexOf('\n'));
    if (line.endsWith('\r'))
        line.chop(1);
    if (line.isEmpty())
        problem = "password file " + shown + " holds no password on its first line";
    return line;
}

}

Loaded Load(const Settings& settings)
{
    Loaded loaded;
    const QString setting = settings.RelayHost.trimmed();
    if (setting.isEmpty())
        return loaded;
    auto policy = std::make_shared<RelayHostPolicy>();
    if (!Split(setting, policy->host, policy->port))
        loaded.problem = "RelayHost=\"" + setting.toUtf8() + "\" is not host[:port]";
    policy->shown = policy->host.contains(QLatin1Char(':')) ? "[" + policy->host.toUtf8() + "]:" : policy->host.toUtf8() + ":";
    policy->shown += QByteArray::number(policy->port);
    const QString tls = settings.RelayHostTls.trimmed().toLower();
    if (tls == QLatin1String("encrypt"))
        policy->tls = RelayHostPolicy::Tls::Encrypt;
    else if (tls == QLatin1String("none"))
        policy->tls = RelayHostPolicy::Tls::None;
    else if (!tls.isEmpty() && tls != QLatin1String("verify"))
        loaded.lines << "Setting RelayHostTls=\"" + tls.toUtf8() + "\" is none of verify, encrypt, none; verify is used";
    if (const QString ca = settings.RelayHostCaFile.trimmed(); !ca.isEmpty()) {
        policy->ca = QSslCertificate::fromPath(Absolute(ca));
        if (policy->ca.isEmpty())
            loaded.lines << "Relay host: no certificate could be read from RelayHostCaFile " + QFile::encodeName(Absolute(ca)) + "; only the system's are trusted";
    }
    policy->user = settings.RelayHostUser.trimmed().toUtf8();
    if (!policy->user.isEmpty() && policy->tls == RelayHostPolicy::Tls::None) {
        // A password never goes out in clear.
        loaded.lines << "Relay host: RelayHostTls=none, so RelayHostUser is not used (no login without TLS)";
        policy->user.clear();
    }
    QByteArray problem;
    if (!policy->user.isEmpty())
        policy->password = Password(settings.RelayHostPasswordFile.trimmed(), problem);
    if (loaded.problem.isEmpty())
        loaded.problem = problem;
    static const char* const Tls[] = {"verify: STARTTLS and a valid certificate", "encrypt: STARTTLS, certificate not checked", "none: no TLS"};
    loaded.lines << "Relay host: every foreign recipient goes to " + policy->shown + " (TLS " + Tls[int(policy->tls)] + "; "
                        + (policy->user.isEmpty() ? QByteArray("no login") : "login " + policy->user) + ")"
                        + (loaded.problem.isEmpty() ? QByteArray() : "; not used, mail waits in the queue: " + loaded.problem);
    loaded.policy = std::move(policy);
    return loaded;
}

}
