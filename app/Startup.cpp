// Start-up: the three settings, the first window, the tables.
#include "core/ConnectionManager.h"
#include "core/Failure.h"
#include "core/LogList.h"
#include "core/TextDatabase.h"
#include "core/TlsResume.h"
#include "ui/frmMailServer.h"
#include "core/mdlCommon.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QMessageBox>
#include <QSettings>
#include <climits>
#include <cstdio>
#include <limits>
#include <malloc.h>

namespace mdlCommon {
namespace {

QString Setting(QSettings& store, const char* key, const char* fallback)
{
    const QVariant v = store.value(QLatin1String(key), QLatin1String(fallback));
    // An unquoted comma makes the store hand back a list; the setting is the text as written.
    if (v.typeId() == QMetaType::QStringList)
        return v.toStringList().join(QLatin1Char(','));
    return v.toString();
}

void StartupFailed(const Failure& f)
{
    const QByteArray text = "Start-up failed: " + f.text();
    fprintf(stderr, "%s\n", text.constData());
    LogList::SysLog(text);
    const QString platform = QGuiApplication::platformName();
    if (platform != QLatin1String("offscreen") && platform != QLatin1String("minimal"))
        QMessageBox::critical(nullptr, QStringLiteral("Tandrivel"), QString::fromUtf8(f.text()));
}

}

int Main(const Handlers& handlers, const std::function<void()>& showAdmin, const std::function<void(Server&)>& preparing,
         const std::function<void(Server&)>& serving)
{
    QSettings store;
    ServerDomain = Setting(store, "Domain", "localhost");
    Pop3Port = Setting(store, "Pop3", "110");
    SmtpPort = Setting(store, "SMTP", "25");
    TlsCertificate = Setting(store, "TlsCertificate", "");
    TlsKey = Setting(store, "TlsKey", "");
    SmtpsPort = Setting(store, "Smtps", "");
    Pop3sPort = Setting(store, "Pop3s", "");
    SubmissionPort = Setting(store, "Submission", "");
    SenderAliases = Setting(store, "SenderAliases", "Aliases.txt").trimmed();
    RelayHost = Setting(store, "RelayHost", "").trimmed();
    RelayHostUser = Setting(store, "RelayHostUser", "").trimmed();
    RelayHostPasswordFile = Setting(store, "RelayHostPasswordFile", "").trimmed();
    RelayHostTls = Setting(store, "RelayHostTls", "verify").trimmed().toLower();   // relay/RelayHost judges it
    RelayHostCaFile = Setting(store, "RelayHostCaFile", "").trimmed();
    RelayNetworks = Setting(store, "RelayNetworks", "127.0.0.0/8,::1");
    HostName = Setting(store, "HostName", "").trimmed();
    if (HostName.isEmpty())
        HostName = MachineName();
    Postmaster = Setting(store, "Postmaster", "").trimmed();
    Listen = Setting(store, "Listen", "");
    DkimKey = Setting(store, "DkimKey", "").trimmed();
    DkimEd25519Key = Setting(store, "DkimEd25519Key", "").trimmed();
    DkimSelector = Setting(store, "DkimSelector", "tandrivel").trimmed();
    DkimEd25519Selector = Setting(store, "DkimEd25519Selector", "").trimmed();
    if (DkimEd25519Selector.isEmpty())   // one name cannot publish two keys
        DkimEd25519Selector = DkimSelector + QStringLiteral("-ed25519");
    DnsServer = Setting(store, "DnsServer", "").trimmed();
    const auto flag = [&store](const char* key, bool fallback) {
        const QString text = Setting(store, key, fallback ? "yes" : "no").trimmed().toLower();
        if (text == QLatin1String("yes") || text == QLatin1String("on") || text == QLatin1String("true") || text == QLatin1String("1"))
            return true;
        if (text == QLatin1String("no") || text == QLatin1String("off") || text == QLatin1String("false") || text == QLatin1String("0"))
            return false;
        Report(QStringLiteral("Setting %1=\"%2\" is neither yes nor no; %3 is used").arg(QLatin1String(key), text, QLatin1String(fallback ? "yes" : "no")));
        return fallback;
    };
    AuthChecks = flag("AuthChecks", true);
    DmarcReject = flag("DmarcReject", true);
    SpfReject = flag("SpfReject", false);
    Milters = Setting(store, "Milters", "").trimmed();
    MilterOutgoing = flag("MilterOutgoing", false);
    if (const QString d = Setting(store, "MilterDefault", "tempfail").trimmed().toLower(); d == QLatin1String("accept"))
        MilterDefaultAccept = true;
    else if (d != QLatin1String("tempfail"))
        Report(QStringLiteral("Setting MilterDefault=\"%1\" is neither tempfail nor accept; tempfail is used").arg(d));
    TlsResume::Enabled = flag("TlsResumption", true);
    // The limits: whole numbers of at least 1 (the budget: 0 means a quarter of memory).
    const auto number = [&store](const char* key, qint64 fallback, qint64 least, qint64 most) {
        const QString text = Setting(store, key, "");
        bool ok = text.isEmpty();
        const qint64 value = ok ? fallback : text.trimmed().toLongLong(&ok);
        if (ok && value >= least && value <= most)
            return value;
        Report(QStringLiteral("Setting %1=\"%2\" is not a number we can use; %3 is used").arg(QLatin1String(key), text).arg(fallback));
        return fallback;
    };
    SmtpTimeout = int(number("SmtpTimeout", 300, 1, INT_MAX));
    Pop3Timeout = int(number("Pop3Timeout", 600, 1, INT_MAX));
    SmtpDataTimeout = int(number("SmtpDataTimeout", 600, 1, INT_MAX));
    TlsHandshakeTimeout = int(number("TlsHandshakeTimeout", 30, 1, INT_MAX));
    MaxPerAddress = int(number("MaxPerAddress", 20, 1, INT_MAX));
    MaxRecipients = int(number("MaxRecipients", 100, 1, INT_MAX));
    MemoryBudget = number("MemoryBudget", 0, 0, std::numeric_limits<qint64>::max());
    RelayExpire = number("RelayExpire", 432000, 1, std::numeric_limits<qint32>::max());
    RelayPerDomain = int(number("RelayPerDomain", 20, 1, 1000));
    LoginDelay = int(number("LoginDelay", 250, 1, 60000));
    LoginFailureLimit = int(number("LoginFailureLimit", 10, 1, INT_MAX));
    LoginFailureWindow = int(number("LoginFailureWindow", 900, 1, INT_MAX));
    LoginLockout = int(number("LoginLockout", 900, 1, INT_MAX));
    MilterTimeout = int(number("MilterTimeout", 30, 1, 3600));
    if (const QString retry = Setting(store, "RelayRetry", ""); !retry.trimmed().isEmpty()) {
        QList<int> delays;
        for (const QString& part : retry.split(QLatin1Char(','))) {
            bool ok = false;
            const int d = part.trimmed().toInt(&ok);
            if (!ok || d < 1) {
                delays.clear();
                break;
            }
            delays << d;
        }
        if (delays.isEmpty())
            Report(QStringLiteral("Setting RelayRetry=\"%1\" is not a list of seconds; 60,300,900,1800,3600,7200 is used").arg(retry));
        else
            RelayRetry = delays;
    }

    try {
        if (ServerDomain != QLatin1String("localhost")) {
            auto* main = new frmMailServer;
            main->setAttribute(Qt::WA_DeleteOnClose);
            main->Connections().SetHandlers(handlers);
            main->ShowAdmin = showAdmin;
            main->Form_Load();
            main->show();
            // Replies and texts below the mapping threshold (see main) come and go hundreds of
            // times a second: room freed at the top of the heap is kept for the next one instead
            // of being given back and faulted in again, half the cost of sending a 100 KB message.
            mallopt(M_TRIM_THRESHOLD, 4 << 20);
            // Nothing is served before the event loop runs: what a crash left can be put right.
            if (preparing)
                preparing(main->Connections());
            main->Log().Add("Host name: " + HostName.toUtf8()
                            + (HostName.contains(QLatin1Char('.')) ? QByteArray()
                                                                   : QByteArray(" (not fully qualified: exchangers may refuse it; set HostName)")));
            if (!Milters.isEmpty())
                main->Log().Add("Mail filters: " + Milters.toUtf8() + (MilterOutgoing ? " (all mail)" : " (mail from outside)") + ", "
                                + QByteArray(MilterDefaultAccept ? "passed" : "451") + " when one fails");
            main->Log().Add("Tandrivel serving @" + ServerDomain.toUtf8() + " on SMTP port " + SmtpPort.toUtf8()
                            + " and POP3 port " + Pop3Port.toUtf8() + " in " + ProgramFolder().toUtf8());
            if (serving)
                serving(main->Connections());
        } else {
            // No domain yet: only the administration window, and nothing listens in this run.
            if (showAdmin)
                showAdmin();
            printf("No mail domain is set: showing the administration window only. Nothing listens in this run.\n");
            fflush(stdout);
        }
        DbConnection();
    } catch (const Failure& f) {
        StartupFailed(f);
        return 1;
    }
    return 0;
}

}
