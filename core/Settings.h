#pragma once
// Every setting of the server in one table: its key, its default, its bounds and what it
// means. Read once at start-up into one Settings value, which is handed to what needs it.
#include <QList>
#include <QString>
#include <functional>
#include <variant>

class QSettings;

struct Settings {
    // The three the administration window edits too; mdlCommon keeps the live copies.
    QString ServerDomain = QStringLiteral("localhost");
    QString Pop3Port = QStringLiteral("110");
    QString SmtpPort = QStringLiteral("25");
    QString TlsCertificate, TlsKey;   // PEM files; none: no TLS
    QString SmtpsPort, Pop3sPort;     // ports with TLS from the first byte; none when empty
    QString SubmissionPort;           // mail clients' port (RFC 6409): AUTH before MAIL; none when empty
    QString ImapPort, ImapsPort;      // IMAP, plain and with TLS from the first byte; none when empty
    // The table of further addresses an account may send from and receives for (Address,UserName),
    // a file of the program folder; "" for none.
    QString SenderAliases = QStringLiteral("Aliases.txt");
    QString RelayNetworks = QStringLiteral("127.0.0.0/8,::1");
    QString HostName;     // how the server names itself; the machine's name when not set
    QString Postmaster;   // the mailbox of postmaster@; "" for the first account's
    QString Listen;       // addresses the ports listen on, comma-separated; none: every address
    QString RelaySourceAddress;   // where relay connections leave from; none: the first of Listen
    int SmtpTimeout = 300, Pop3Timeout = 600;   // seconds a connection may stay silent, or take for a line
    int SmtpDataTimeout = 600;                  // seconds from DATA to the final "."
    int TlsHandshakeTimeout = 30;               // seconds a TLS handshake may take
    bool TlsResumption = true;                  // TLS sessions resumed, as the server and as the relay's client
    int MaxPerAddress = 20;                     // open connections from one client address
    int MaxRecipients = 100;                    // recipients of one message
    qint64 MemoryBudget = 0;                    // bytes all connections may hold; 0: a quarter of memory
    QList<int> RelayRetry = {60, 300, 900, 1800, 3600, 7200};   // seconds before each new attempt; the last repeats
    qint64 RelayExpire = 432000;                // seconds after acceptance that a relay is given up
    int RelayPerDomain = 20;                    // connections to one domain's exchangers at once
    qint64 MxCacheSeconds = 3600;               // longest a row of DomainMX.txt learned from DNS is used
    // Password guessing: the wait after a failed login (ms, doubling with each further failure up
    // to 64 times), and how many failures within the window (s) lock an account out from an
    // address, or the address from every account, for how long (s).
    int LoginDelay = 250;
    int LoginFailureLimit = 10, LoginAddressFailureLimit = 100, LoginFailureWindow = 900, LoginLockout = 900;
    // A failed POP3 login says so (RFC 3206 response codes) rather than showing an empty mailbox.
    bool Pop3LoginErrors = false;
    // DKIM: the key files (PEM; none: nothing is signed) and the selectors their public halves are under.
    QString DkimKey, DkimEd25519Key;
    QString DkimSelector = QStringLiteral("tandrivel");
    QString DkimEd25519Selector = QStringLiteral("tandrivel-ed25519");
    // Checks on arriving mail: the DNS server they ask (an IPv4 address; none: the system's), and
    // what a failure does: DMARC p=reject refuses at the end of DATA, SPF fail at MAIL FROM.
    QString DnsServer;
    bool AuthChecks = true, DmarcReject = true, SpfReject = false;
    // A relay host (smarthost) that takes every foreign recipient instead of its MX: "host[:port]"
    // (none: the MX), the login and the file whose first line is its password, how TLS is held
    // to ("verify", "encrypt", "none"), and CA certificates trusted beside the system's.
    QString RelayHost, RelayHostUser, RelayHostPasswordFile, RelayHostCaFile;
    QString RelayHostTls = QStringLiteral("verify");
    // Mail filters (milter): the sockets, comma-separated (inet:host:port, unix:/path; none: no
    // filtering), seconds each reply may take, whether a filter that fails passes the mail
    // (else 451), and whether mail of trusted clients is filtered too.
    QString Milters;
    int MilterTimeout = 30;
    bool MilterDefaultAccept = false, MilterOutgoing = false;
    // Mail marked X-Spam-Flag: YES goes to the recipient's Junk folder (IMAP) instead of INBOX.
    bool QuarantineToJunk = false;
    // Certificates from an ACME server (none: the files above are used as they are): its directory
    // URL, the account's contact, the port the HTTP-01 challenge is answered on, and the first wait
    // after a failure (doubling up to a day).
    QString AcmeDirectory, AcmeEmail;
    int AcmeHttpPort = 80;
    int AcmeRetrySeconds = 600;
    // CA certificates trusted beside the system's for outbound HTTPS and TLS.
    QString TlsCaFile;
    // The MTA-STS policy published for the served domain: "none", "testing" or "enforce".
    QString MtaStsMode = QStringLiteral("none");
    // Daily TLS and DMARC aggregate reports: whether they are sent, from which address ("" for
    // postmaster@ the domain), and how often.
    bool Reports = true;
    QString ReportAddress;
    int ReportIntervalSeconds = 86400;

    // The settings as the store holds them; a value that cannot be used is reported through
    // `report` and its default is used. HostName and DkimEd25519Selector, when not set, are
    // worked out (`machineName` gives this machine's name).
    static Settings Read(QSettings& store, const std::function<void(const QString&)>& report,
                         const std::function<QString()>& machineName);
};

// How one setting's text becomes its value.
enum class SettingKind {
    Text,      // as written
    Trimmed,   // without the spaces around it
    Lowered,   // trimmed, in lower case
    Flag,      // yes/on/true/1 or no/off/false/0
    Number,    // a whole number within the bounds
    Seconds,   // a comma-separated list of whole numbers of at least 1
    Choice,    // the default or the one other word of `other`: true for that one
};

struct SettingRow {
    const char* key;
    const char* fallback;   // the default as the settings file would write it; "": none
    SettingKind kind;
    std::variant<QString Settings::*, int Settings::*, qint64 Settings::*, bool Settings::*, QList<int> Settings::*> field;
    qint64 least = 0, most = 0;   // numbers only
    const char* other = nullptr;  // choices only
    const char* meaning = "";
};

// The table, in the order the settings are read (and their problems reported).
const QList<SettingRow>& SettingRows();
