// Start-up: the settings, the first window, the tables.
#include "core/ConnectionManager.h"
#include "core/Failure.h"
#include "core/LogList.h"
#include "core/Settings.h"
#include "core/TextDatabase.h"
#include "ui/frmMailServer.h"
#include "core/mdlCommon.h"

#include <QGuiApplication>
#include <QMessageBox>
#include <QSettings>
#include <cstdio>
#include <malloc.h>

namespace mdlCommon {
namespace {

// Replies and texts below the mapping threshold (see main) come and go hundreds of times a
// second: room freed at the top of the heap is kept for the next one instead of being given
// back and faulted in again, half the cost of sending a 100 KB message.
constexpr int KeptHeapTop = 4 << 20;

void StartupFailed(const Failure& f)
{
    const QByteArray text = "Start-up failed: " + f.text();
    fprintf(stderr, "%s\n", text.constData());
    LogList::SysLog(text);
    const QString platform = QGuiApplication::platformName();
    if (platform != QLatin1String("offscreen") && platform != QLatin1String("minimal"))
        QMessageBox::critical(nullptr, QStringLiteral("Tandrivel"), QString::fromUtf8(f.text()));
}

// The lines that tell what this run serves.
void LogServing(LogList& log, const Settings& s)
{
    log.Add("Host name: " + s.HostName.toUtf8()
            + (s.HostName.contains(QLatin1Char('.')) ? QByteArray()
                                                     : QByteArray(" (not fully qualified: exchangers may refuse it; set HostName)")));
    if (!s.Milters.isEmpty())
        log.Add("Mail filters: " + s.Milters.toUtf8() + (s.MilterOutgoing ? " (all mail)" : " (mail from outside)") + ", "
                + QByteArray(s.MilterDefaultAccept ? "passed" : "451") + " when one fails");
    log.Add("Tandrivel serving @" + ServerDomain.toUtf8() + " on SMTP port " + SmtpPort.toUtf8() + " and POP3 port " + Pop3Port.toUtf8()
            + " in " + ProgramFolder().toUtf8());
}

// The console, its listeners open. Throws Failure.
void Serve(const Settings& settings, const Handlers& handlers, const std::function<void()>& showAdmin, const std::function<void(Server&)>& preparing,
           const std::function<void(Server&)>& serving)
{
    auto* main = new frmMailServer;
    main->setAttribute(Qt::WA_DeleteOnClose);
    main->Connections().Configure(settings);
    main->Connections().SetHandlers(handlers);
    main->ShowAdmin = showAdmin;
    main->Form_Load();
    main->show();
    mallopt(M_TRIM_THRESHOLD, KeptHeapTop);
    // Nothing is served before the event loop runs: what a crash left can be put right.
    if (preparing)
        preparing(main->Connections());
    LogServing(main->Log(), settings);
    if (serving)
        serving(main->Connections());
}

}

int Main(const Handlers& handlers, const std::function<void()>& showAdmin, const std::function<void(Server&)>& preparing,
         const std::function<void(Server&)>& serving)
{
    QSettings store;
    const Settings settings = Settings::Read(store, Report, MachineName);
    ServerDomain = settings.ServerDomain;
    Pop3Port = settings.Pop3Port;
    SmtpPort = settings.SmtpPort;
    try {
        if (ServerDomain != QLatin1String("localhost")) {
            Serve(settings, handlers, showAdmin, preparing, serving);
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
