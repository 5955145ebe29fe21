#pragma once
#include "core/Server.h"

#include <QList>
#include <QString>
#include <functional>

class TextDatabase;

// Values every part of the server shares, filled at start-up from the settings.
namespace mdlCommon {

inline QString ServerDomain = QStringLiteral("localhost");
inline QString Pop3Port = QStringLiteral("110");
inline QString SmtpPort = QStringLiteral("25");
// Settings beyond those three, in the same place (see the README).
inline QString TlsCertificate, TlsKey;   // PEM files; none: no TLS
inline QString SmtpsPort, Pop3sPort;     // ports with TLS from the first byte; none when empty
inline QString SubmissionPort;           // mail clients' port (RFC 6409): AUTH before MAIL; none when empty
// The table of further addresses an account may send from and receives for (Address,UserName),
// a file of the program folder; "" for none.
inline QString SenderAliases = QStringLiteral("Aliases.txt");
inline QString RelayNetworks = QStringLiteral("127.0.0.0/8,::1");
inline QString HostName;                 // how the server names itself; set at start-up
inline QString Postmaster;               // the mailbox of postmaster@; "" for the first account's
inline QString Listen;                   // addresses the ports listen on, comma-separated; none: every address
inline int SmtpTimeout = 300, Pop3Timeout = 600;   // seconds a connection may stay silent, or take for a line
inline int SmtpDataTimeout = 600;                   // seconds from DATA to the final "."
inline int TlsHandshakeTimeout = 30;                // seconds a TLS handshake may take
inline int MaxPerAddress = 20;                      // open connections from one client address
inline int MaxRecipients = 100;                     // recipients of one message
inline qint64 MemoryBudget = 0;                     // bytes all connections may hold; 0: a quarter of memory
inline QList<int> RelayRetry = {60, 300, 900, 1800, 3600, 7200};   // seconds before each new attempt; the last repeats
inline qint64 RelayExpire = 432000;                 // seconds after acceptance that a relay is given up
inline int RelayPerDomain = 20;                     // connections to one domain's exchangers at once
// Password guessing: the wait after a failed login (ms, doubling with each further failure up
// to 64 times), and how many failures within the window (s) lock an address out for how long (s).
inline int LoginDelay = 250;
inline int LoginFailureLimit = 10, LoginFailureWindow = 900, LoginLockout = 900;
// DKIM: the key files (PEM; none: nothing is signed) and the selectors their public halves are under.
inline QString DkimKey, DkimEd25519Key;
inline QString DkimSelector = QStringLiteral("tandrivel");
inline QString DkimEd25519Selector = QStringLiteral("tandrivel-ed25519");
// Checks on arriving mail: the DNS server they ask (an IPv4 address; none: the system's), and
// what a failure does: DMARC p=reject refuses at the end of DATA, SPF fail at MAIL FROM.
inline QString DnsServer;
inline bool AuthChecks = true, DmarcReject = true, SpfReject = false;
// A relay host (smarthost) that takes every foreign recipient instead of its MX: "host[:port]"
// (none: the MX), the login and the file whose first line is its password, how TLS is held
// to ("verify", "encrypt", "none"), and CA certificates trusted beside the system's.
inline QString RelayHost, RelayHostUser, RelayHostPasswordFile, RelayHostCaFile;
inline QString RelayHostTls = QStringLiteral("verify");
// Mail filters (milter): the sockets, comma-separated (inet:host:port, unix:/path; none: no
// filtering), seconds each reply may take, whether a filter that fails passes the mail
// (else 451), and whether mail of trusted clients is filtered too.
inline QString Milters;
inline int MilterTimeout = 30;
inline bool MilterDefaultAccept = false, MilterOutgoing = false;

// The folder that holds the executable: tables, lookup script and mail store live here.
QString ProgramFolder();
void SetProgramFolder(const QString& folder);   // tests point it at a fresh folder

// Program folder + "/Users": the mail store.
QString UsersFolder();

// The one connection to the text tables, created at its first use.
TextDatabase& DbConnection();
void ResetDbConnection();

// This machine's fully qualified name, as `hostname --fqdn` gives it; the short name when
// it has none.
QString MachineName();

// A port setting as a number, or -1 when the text is not a port number.
int PortNumber(const QString& text);

// A line for the log from code that has no connection at hand (table warnings,
// account lookups that failed). The connection manager routes it to the log.
void Report(const QString& line);
void SetReporter(void (*reporter)(const QString&));

// Company and settings names.
inline constexpr const char* CompanyName = "Merivolant";

// Reads the three settings, shows the first window and opens the tables. The executable
// gives the protocol services, the way to show the administration window, what runs before
// any connection is served (the mail store is put right), and what runs once the server is
// ready to serve (the relay queue starts). Returns 0, or the exit status when start-up failed.
int Main(const Handlers& handlers, const std::function<void()>& showAdmin, const std::function<void(Server&)>& preparing = {},
         const std::function<void(Server&)>& serving = {});

}
