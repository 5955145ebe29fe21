// Tandrivel: a mail server for one domain. POP3 and SMTP on one event thread.
#include "ui/frmAdmin.h"
#include "core/Failure.h"
#include "core/Settings.h"
#include "core/mdlCommon.h"
#include "dkim/Dkim.h"
#include "imap/ImapCommand.h"
#include "pop3/Pop3Command.h"
#include "acme/Acme.h"
#include "acme/StsPolicy.h"
#include "app/DnsRecords.h"
#include "app/Wiring.h"
#include "dns/Resolver.h"
#include "relay/Queue.h"
#include "relay/RelayClient.h"
#include "report/Reports.h"
#include "smtp/SmtpCommand.h"
#include "store/MailStore.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPointer>
#include <QSettings>
#include <QThread>
#include <QThreadPool>
#include <QSocketNotifier>
#include <csignal>
#include <malloc.h>
#include <cstdio>
#include <cstdlib>
#include <sys/resource.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

namespace {
int SignalPipe[2] = {-1, -1};
constexpr int MappedFrom = 256 * 1024;   // allocations this big get mappings of their own
constexpr size_t OutBufferSize = 1 << 16;

void OnSignal(int)
{
    const char c = 1;
    (void)!::write(SignalPipe[1], &c, 1);
}

// --queue prints the relay queue; --flush asks the server running in this program folder to
// try every deferred recipient now. Neither disturbs a running server. Returns the exit
// status, or -1 when neither option was given.
int QueueCommand(int argc, char* argv[])
{
    const QByteArray option = argc == 2 ? QByteArray(argv[1]) : QByteArray();
    if (option != "--queue" && option != "--flush")
        return -1;
    QCoreApplication app(argc, argv);
    mdlCommon::SetProgramFolder(QCoreApplication::applicationDirPath());
    if (option == "--queue") {
        fputs(QueueFile::Listing().constData(), stdout);
        return 0;
    }
    try {
        const QString request = QueueFile::FlushRequest();
        // The server looks once a second; tell whether one did.
        QElapsedTimer waited;
        waited.start();
        while (QFile::exists(request) && waited.elapsed() < 5000)
            QThread::msleep(100);
        if (QFile::exists(request)) {
            printf("No running server took the request within 5 s; it will when one starts in %s\n", qPrintable(mdlCommon::ProgramFolder()));
            return 1;
        }
        printf("The server is trying every deferred recipient now; see its log.\n");
        return 0;
    } catch (const Failure& f) {
        fprintf(stderr, "%s\n", f.text().constData());
        return 1;
    }
}

// --dkim-keygen [selector] makes a DKIM key in the program folder and prints the DNS record
// that publishes it; it starts no server. Returns the exit status, or -1 for another option.
int KeygenCommand(int argc, char* argv[])
{
    if (argc < 2 || QByteArray(argv[1]) != "--dkim-keygen")
        return -1;
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QString::fromLatin1(mdlCommon::CompanyName));
    mdlCommon::SetProgramFolder(QCoreApplication::applicationDirPath());
    QSettings store;
    const Settings settings = Settings::Read(store, [](const QString&) {}, [] { return QString(); });
    const QByteArray selector = argc == 3 ? QByteArray(argv[2]) : settings.DkimSelector.toUtf8();
    const QByteArray domain = settings.ServerDomain.trimmed().toUtf8();
    if (domain == "localhost")
        fprintf(stderr, "Tandrivel: no Domain is set, so the record names localhost\n");
    try {
        const QByteArray record = Dkim::MakeKey(mdlCommon::ProgramFolder(), selector, domain);
        printf("Wrote %s/%s.private (2048-bit RSA, mode 0600). Publish this record in the DNS of %s:\n\n%s\n\n"
               "Then add to the settings and restart the server:\n\nDkimKey=%s.private\nDkimSelector=%s\n",
               qPrintable(mdlCommon::ProgramFolder()), selector.constData(), domain.constData(), record.constData(), selector.constData(),
               selector.constData());
        return 0;
    } catch (const Failure& f) {
        fprintf(stderr, "Tandrivel: %s\n", f.description.toUtf8().constData());
        return 1;
    }
}

// --dns-records prints what to publish in DNS for the settings in place, each record marked
// against what DNS (DnsServer) answers; it starts no server. Exit status 0 when every record is
// published as printed, 1 when one is missing or differs.
int DnsRecordsCommand(int argc, char* argv[])
{
    if (argc != 2 || QByteArray(argv[1]) != "--dns-records")
        return -1;
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QString::fromLatin1(mdlCommon::CompanyName));
    mdlCommon::SetProgramFolder(QCoreApplication::applicationDirPath());
    QSettings store;
    const Settings settings = Settings::Read(store, [](const QString& problem) { fprintf(stderr, "Tandrivel: %s\n", qPrintable(problem)); },
                                             [] { return mdlCommon::MachineName(); });
    if (settings.ServerDomain.trimmed() == QLatin1String("localhost")) {
        fprintf(stderr, "Tandrivel: no Domain is set; there is nothing to publish\n");
        return 2;
    }
    Dkim::Signer signer;
    for (const QByteArray& line : signer.Load(settings))
        printf("; %s\n", line.constData());
    // The policy's id changes whenever what it says does.
    const QByteArray policy = StsPolicy::Text(settings.MtaStsMode, settings.HostName);
    DnsRecords::Facts facts {signer.Keys(), {}, QCryptographicHash::hash(policy, QCryptographicHash::Sha256).toHex().left(20)};
    if (!settings.TlsCertificate.isEmpty())
        facts.certificateKeyHash = DnsRecords::CertificateKeyHash(QDir(mdlCommon::ProgramFolder()).absoluteFilePath(settings.TlsCertificate));
    if (!signer.Enabled())
        printf("; no DkimKey is set: Tandrivel --dkim-keygen makes one\n");
    if (facts.certificateKeyHash.isEmpty())
        printf("; no certificate (TlsCertificate): no TLSA record\n");
    const auto dns = Dns::MakeResolver(settings.DnsServer);
    bool allPublished = true;
    for (const DnsRecords::Record& record : DnsRecords::Wanted(settings, facts)) {
        const QByteArray mark = DnsRecords::Mark(record, *dns);
        allPublished = allPublished && mark == "ok";
        printf("%s ; %s\n", DnsRecords::ZoneLine(record).constData(), mark.constData());
    }
    return allPublished ? 0 : 1;
}

const char Usage[] =
    "Usage: Tandrivel [--queue | --flush | --dkim-keygen [selector] | --dns-records | --help | --version]\n"
    "\n"
    "Without an option: serves POP3 and SMTP for the mail domain of the settings, from the\n"
    "folder that holds this program (mailboxes in Users/, relay queue in Queue/).\n"
    "\n"
    "  --queue    print the relay queue and exit\n"
    "  --flush    ask the server running in this folder to try every deferred recipient now\n"
    "  --dkim-keygen [selector]\n"
    "             make a DKIM key <selector>.private in this folder (selector: the setting\n"
    "             DkimSelector, else tandrivel), print the DNS TXT record to publish, and exit\n"
    "  --dns-records\n"
    "             print the DNS records to publish for these settings, each marked ok,\n"
    "             differs or missing against what DNS answers now, and exit\n"
    "  --help     print this text and exit\n"
    "  --version  print the version and exit\n"
    "\n"
    "Settings: ~/.config/Merivolant/Tandrivel.conf (see the README).\n";

// --help and --version print and exit; an option we do not know is an error (exit 2).
// Returns the exit status, or -1 to go on.
int InformativeOption(int argc, char* argv[])
{
    if (argc < 2)
        return -1;
    const QByteArray option = argv[1];
    if (option == "--help" || option == "-h") {
        fputs(Usage, stdout);
        return 0;
    }
    if (option == "--version") {
        printf("Tandrivel %s\n", TANDRIVEL_VERSION);
        return 0;
    }
    const bool known = option == "--queue" || option == "--flush" || option == "--dkim-keygen" || option == "--dns-records";
    if (known && (argc == 2 || (argc == 3 && option == "--dkim-keygen")))
        return -1;
    if (known)
        fprintf(stderr, "Tandrivel: unexpected argument '%s'\n\n%s", argv[option == "--dkim-keygen" ? 3 : 2], Usage);
    else
        fprintf(stderr, "Tandrivel: unknown option '%s'\n\n%s", argv[1], Usage);
    return 2;
}

// Before anything is served: what a crash left in the mailboxes is put right, and every
// mailbox is listed off the event thread, so that a first login to a big one finds its
// listing ready.
void PrepareStore(Server& server)
{
    for (const QString& line : MailStore::Recover())
        server.Log(line.toUtf8());
    QThreadPool::globalInstance()->start([log = QPointer<QObject>(dynamic_cast<QObject*>(&server)), &server] {
        QElapsedTimer clock;
        clock.start();
        const auto [folders, messages] = MailStore::ListAll();
        const QByteArray line = "Mailboxes listed: " + QByteArray::number(folders) + " folders, " + QByteArray::number(messages)
                                + " messages in " + QByteArray::number(clock.elapsed()) + " ms";
        if (QCoreApplication* app = QCoreApplication::instance())
            QMetaObject::invokeMethod(app, [log, &server, line] { if (log) server.Log(line); });
    });
}

// Every connection is a descriptor; the default soft limit of 1024 is far too low.
void RaiseDescriptorLimit()
{
    rlimit rl {};
    if (::getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &rl);
    }
}

// What the process needs before Qt starts: headless without a display, Qt's own event
// loop, room for descriptors and buffers, no death by SIGPIPE, the system log.
void PrepareProcess()
{
    // Without a display the server runs headless; the log goes to standard output.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM") && !qEnvironmentVariableIsSet("DISPLAY")
        && !qEnvironmentVariableIsSet("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Qt's own event loop: glib's wakes itself with a write for every reply a socket sends.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    RaiseDescriptorLimit();
    // Message texts and protocol buffers come and go in megabytes: served from mappings of
    // their own they go back to the system when freed, instead of staying with the process.
    mallopt(M_MMAP_THRESHOLD, MappedFrom);
    std::signal(SIGPIPE, SIG_IGN);
    static char outBuffer[OutBufferSize];
    setvbuf(stdout, outBuffer, _IOFBF, sizeof outBuffer);
    openlog("Tandrivel", LOG_PID, LOG_MAIL);
}

// SIGTERM and SIGINT end the event loop, so the log is flushed and sockets close cleanly.
void QuitOnSignals(QCoreApplication& app)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, SignalPipe) != 0)
        return;
    auto* notifier = new QSocketNotifier(SignalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [] { QCoreApplication::quit(); });
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
}
}

int main(int argc, char* argv[])
{
    if (const int rc = InformativeOption(argc, argv); rc >= 0)
        return rc;
    if (const int rc = QueueCommand(argc, argv); rc >= 0)
        return rc;
    if (const int rc = KeygenCommand(argc, argv); rc >= 0)
        return rc;
    if (const int rc = DnsRecordsCommand(argc, argv); rc >= 0)
        return rc;
    PrepareProcess();
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QString::fromLatin1(mdlCommon::CompanyName));
    mdlCommon::SetProgramFolder(QCoreApplication::applicationDirPath());
    QuitOnSignals(app);

    // The pieces meet here: connections on the SMTP ports go to the SMTP service, on the
    // POP3 ports to POP3, on any other (the relay's own connections) to the relay client;
    // every accepted message is delivered to the mailboxes and the relay queue.
    Queue queue;
    Wiring wiring(queue);
    Acme acme;
    StsPolicy policy;
    Reports reports(wiring.Steps());
    const auto preparing = [&wiring](Server& server) {
        for (const QByteArray& line : wiring.Signer().Load(server.Config()))
            server.Log(line);
        PrepareStore(server);
    };
    if (const int failed = mdlCommon::Main({SmtpService(wiring.Smtp()), Pop3Service(), RelayService(), ImapService()}, frmAdmin::Open, preparing,
                                             [&](Server& server) {
                                                 queue.Start(server);
                                                 acme.Start(server);
                                                 policy.Start(server);
                                                 reports.Start(server);
                                             }))
        return failed;
    const int rc = app.exec();
    fflush(stdout);
    return rc;
}
