#include "core/Settings.h"

#include <QSettings>
#include <climits>
#include <limits>

namespace {
using K = SettingKind;
using S = Settings;
constexpr qint64 Int = INT_MAX;
constexpr qint64 Int64 = std::numeric_limits<qint64>::max();
constexpr qint64 Int32 = std::numeric_limits<qint32>::max();
constexpr qint64 MaxPerDomain = 1000;
constexpr qint64 MaxLoginDelayMs = 60000;
constexpr qint64 MaxMilterSeconds = 3600;
constexpr qint64 MaxPort = 65535;
constexpr qint64 Day = 86400;

const QList<SettingRow> Rows = {
    {"Domain", "localhost", K::Text, &S::ServerDomain, 0, 0, nullptr, "the mail domain served"},
    {"Pop3", "110", K::Text, &S::Pop3Port, 0, 0, nullptr, "the plain POP3 port"},
    {"SMTP", "25", K::Text, &S::SmtpPort, 0, 0, nullptr, "the plain SMTP port"},
    {"TlsCertificate", "", K::Text, &S::TlsCertificate, 0, 0, nullptr, "PEM certificate chain; none: no TLS"},
    {"TlsKey", "", K::Text, &S::TlsKey, 0, 0, nullptr, "PEM key of that certificate"},
    {"Smtps", "", K::Text, &S::SmtpsPort, 0, 0, nullptr, "SMTP port with TLS from the first byte"},
    {"Pop3s", "", K::Text, &S::Pop3sPort, 0, 0, nullptr, "POP3 port with TLS from the first byte"},
    {"Submission", "", K::Text, &S::SubmissionPort, 0, 0, nullptr, "mail clients' port: AUTH before MAIL"},
    {"Imap", "", K::Text, &S::ImapPort, 0, 0, nullptr, "the plain IMAP port"},
    {"Imaps", "", K::Text, &S::ImapsPort, 0, 0, nullptr, "IMAP port with TLS from the first byte"},
    {"SenderAliases", "Aliases.txt", K::Trimmed, &S::SenderAliases, 0, 0, nullptr, "the aliases table; empty for none"},
    {"RelayHost", "", K::Trimmed, &S::RelayHost, 0, 0, nullptr, "smarthost host[:port] for every foreign recipient"},
    {"RelayHostUser", "", K::Trimmed, &S::RelayHostUser, 0, 0, nullptr, "the login at the relay host"},
    {"RelayHostPasswordFile", "", K::Trimmed, &S::RelayHostPasswordFile, 0, 0, nullptr, "file whose first line is that password"},
    {"RelayHostTls", "verify", K::Lowered, &S::RelayHostTls, 0, 0, nullptr, "verify, encrypt or none"},
    {"RelayHostCaFile", "", K::Trimmed, &S::RelayHostCaFile, 0, 0, nullptr, "CA certificates trusted for the relay host"},
    {"RelayNetworks", "127.0.0.0/8,::1", K::Text, &S::RelayNetworks, 0, 0, nullptr, "clients that may relay without logging in"},
    {"HostName", "", K::Trimmed, &S::HostName, 0, 0, nullptr, "the server's own name; none: the machine's"},
    {"Postmaster", "", K::Trimmed, &S::Postmaster, 0, 0, nullptr, "mail ID of postmaster's mailbox; none: the first account"},
    {"Listen", "", K::Text, &S::Listen, 0, 0, nullptr, "addresses the ports listen on; none: every address"},
    {"RelaySourceAddress", "", K::Trimmed, &S::RelaySourceAddress, 0, 0, nullptr, "address relay connections leave from; none: the first of Listen"},
    {"DkimKey", "", K::Trimmed, &S::DkimKey, 0, 0, nullptr, "RSA key that signs with DKIM; none: no signing"},
    {"DkimEd25519Key", "", K::Trimmed, &S::DkimEd25519Key, 0, 0, nullptr, "Ed25519 key for a second signature"},
    {"DkimSelector", "tandrivel", K::Trimmed, &S::DkimSelector, 0, 0, nullptr, "selector of the RSA key"},
    {"DkimEd25519Selector", "", K::Trimmed, &S::DkimEd25519Selector, 0, 0, nullptr, "selector of the Ed25519 key; none: <DkimSelector>-ed25519"},
    {"DnsServer", "", K::Trimmed, &S::DnsServer, 0, 0, nullptr, "IPv4 name server of the checks; none: the system's"},
    {"AuthChecks", "yes", K::Flag, &S::AuthChecks, 0, 0, nullptr, "check SPF, DKIM and DMARC of mail from outside"},
    {"DmarcReject", "yes", K::Flag, &S::DmarcReject, 0, 0, nullptr, "refuse DMARC failures under p=reject"},
    {"SpfReject", "no", K::Flag, &S::SpfReject, 0, 0, nullptr, "refuse SPF fail at MAIL FROM"},
    {"Milters", "", K::Trimmed, &S::Milters, 0, 0, nullptr, "mail filters, inet:host:port or unix:/path"},
    {"MilterOutgoing", "no", K::Flag, &S::MilterOutgoing, 0, 0, nullptr, "filter the mail of trusted clients too"},
    {"MilterDefault", "tempfail", K::Choice, &S::MilterDefaultAccept, 0, 0, "accept", "what a failing filter does: tempfail or accept"},
    {"QuarantineToJunk", "no", K::Flag, &S::QuarantineToJunk, 0, 0, nullptr, "mail marked as spam goes to the Junk folder"},
    {"TlsResumption", "yes", K::Flag, &S::TlsResumption, 0, 0, nullptr, "TLS sessions may be resumed"},
    {"SmtpTimeout", "300", K::Number, &S::SmtpTimeout, 1, Int, nullptr, "seconds an SMTP connection may stay silent"},
    {"Pop3Timeout", "600", K::Number, &S::Pop3Timeout, 1, Int, nullptr, "seconds a POP3 connection may stay silent"},
    {"SmtpDataTimeout", "600", K::Number, &S::SmtpDataTimeout, 1, Int, nullptr, "seconds from DATA to the final dot"},
    {"TlsHandshakeTimeout", "30", K::Number, &S::TlsHandshakeTimeout, 1, Int, nullptr, "seconds a TLS handshake may take"},
    {"MaxPerAddress", "20", K::Number, &S::MaxPerAddress, 1, Int, nullptr, "open connections from one address"},
    {"MaxRecipients", "100", K::Number, &S::MaxRecipients, 1, Int, nullptr, "recipients of one message"},
    {"MemoryBudget", "0", K::Number, &S::MemoryBudget, 0, Int64, nullptr, "bytes all connections may hold; 0: a quarter of memory"},
    {"RelayExpire", "432000", K::Number, &S::RelayExpire, 1, Int32, nullptr, "seconds before a foreign recipient is given up"},
    {"MxCacheSeconds", "3600", K::Number, &S::MxCacheSeconds, 1, Int32, nullptr, "seconds an MX learned from DNS is kept at most"},
    {"RelayPerDomain", "20", K::Number, &S::RelayPerDomain, 1, MaxPerDomain, nullptr, "connections to one domain's exchangers"},
    {"LoginDelay", "250", K::Number, &S::LoginDelay, 1, MaxLoginDelayMs, nullptr, "ms waited after a failed login, doubling"},
    {"LoginFailureLimit", "10", K::Number, &S::LoginFailureLimit, 1, Int, nullptr, "failed logins of one account that lock it out from an address"},
    {"LoginAddressFailureLimit", "100", K::Number, &S::LoginAddressFailureLimit, 1, Int, nullptr, "failed logins of any accounts that lock an address out"},
    {"LoginFailureWindow", "900", K::Number, &S::LoginFailureWindow, 1, Int, nullptr, "seconds those failures are counted over"},
    {"LoginLockout", "900", K::Number, &S::LoginLockout, 1, Int, nullptr, "seconds a locked-out account or address is refused"},
    {"Pop3LoginErrors", "no", K::Flag, &S::Pop3LoginErrors, 0, 0, nullptr, "a failed POP3 login says so (RFC 3206)"},
    {"MilterTimeout", "30", K::Number, &S::MilterTimeout, 1, MaxMilterSeconds, nullptr, "seconds a filter may take for each reply"},
    {"AcmeDirectory", "", K::Trimmed, &S::AcmeDirectory, 0, 0, nullptr, "ACME directory URL; none: no certificates requested"},
    {"AcmeEmail", "", K::Trimmed, &S::AcmeEmail, 0, 0, nullptr, "contact address of the ACME account"},
    {"AcmeHttpPort", "80", K::Number, &S::AcmeHttpPort, 1, MaxPort, nullptr, "port the HTTP-01 challenge is answered on"},
    {"AcmeRetrySeconds", "600", K::Number, &S::AcmeRetrySeconds, 1, Day, nullptr, "seconds before a failed ACME order is tried again"},
    {"TlsCaFile", "", K::Trimmed, &S::TlsCaFile, 0, 0, nullptr, "CA certificates trusted for outbound HTTPS and TLS"},
    {"MtaStsMode", "none", K::Lowered, &S::MtaStsMode, 0, 0, nullptr, "MTA-STS policy served: none, testing or enforce"},
    {"Reports", "yes", K::Flag, &S::Reports, 0, 0, nullptr, "send daily TLS and DMARC aggregate reports"},
    {"ReportAddress", "", K::Trimmed, &S::ReportAddress, 0, 0, nullptr, "sender of reports; none: postmaster@ the domain"},
    {"ReportIntervalSeconds", "86400", K::Number, &S::ReportIntervalSeconds, 1, Day, nullptr, "seconds between aggregate reports"},
    {"RelayRetry", "60,300,900,1800,3600,7200", K::Seconds, &S::RelayRetry, 0, 0, nullptr, "seconds before each new relay attempt"},
};

QString Raw(QSettings& store, const char* key, const char* fallback)
{
    const QVariant v = store.value(QLatin1String(key), QLatin1String(fallback));
    // An unquoted comma makes the store hand back a list; the setting is the text as written.
    if (v.typeId() == QMetaType::QStringList)
        return v.toStringList().join(QLatin1Char(','));
    return v.toString();
}

using Report = std::function<void(const QString&)>;

bool FlagOf(QSettings& store, const SettingRow& row, const Report& report)
{
    const QString text = Raw(store, row.key, row.fallback).trimmed().toLower();
    static const QStringList yes = {"yes", "on", "true", "1"}, no = {"no", "off", "false", "0"};
    if (yes.contains(text))
        return true;
    if (no.contains(text))
        return false;
    report(QStringLiteral("Setting %1=\"%2\" is neither yes nor no; %3 is used").arg(QLatin1String(row.key), text, QLatin1String(row.fallback)));
    return yes.contains(QLatin1String(row.fallback));
}

bool ChoiceOf(QSettings& store, const SettingRow& row, const Report& report)
{
    const QString text = Raw(store, row.key, row.fallback).trimmed().toLower();
    if (text == QLatin1String(row.other))
        return true;
    if (text != QLatin1String(row.fallback))
        report(QStringLiteral("Setting %1=\"%2\" is neither %3 nor %4; %3 is used")
                   .arg(QLatin1String(row.key), text, QLatin1String(row.fallback), QLatin1String(row.other)));
    return false;
}

// Whole numbers within the row's bounds.
qint64 NumberOf(QSettings& store, const SettingRow& row, const Report& report)
{
    const qint64 fallback = QByteArray(row.fallback).toLongLong();
    const QString text = Raw(store, row.key, "");
    bool ok = text.isEmpty();
    const qint64 value = ok ? fallback : text.trimmed().toLongLong(&ok);
    if (ok && value >= row.least && value <= row.most)
        return value;
    report(QStringLiteral("Setting %1=\"%2\" is not a number we can use; %3 is used").arg(QLatin1String(row.key), text).arg(fallback));
    return fallback;
}

QList<int> SecondsOf(QSettings& store, const SettingRow& row, const Report& report)
{
    const auto parse = [](const QString& text) {
        QList<int> delays;
        for (const QString& part : text.split(QLatin1Char(','))) {
            bool ok = false;
            const int d = part.trimmed().toInt(&ok);
            if (!ok || d < 1)
                return QList<int>();
            delays << d;
        }
        return delays;
    };
    const QString text = Raw(store, row.key, "");
    if (text.trimmed().isEmpty())
        return parse(QLatin1String(row.fallback));
    const QList<int> delays = parse(text);
    if (!delays.isEmpty())
        return delays;
    report(QStringLiteral("Setting %1=\"%2\" is not a list of seconds; %3 is used").arg(QLatin1String(row.key), text, QLatin1String(row.fallback)));
    return parse(QLatin1String(row.fallback));
}

QString TextOf(QSettings& store, const SettingRow& row)
{
    const QString text = Raw(store, row.key, row.fallback);
    if (row.kind == SettingKind::Lowered)
        return text.trimmed().toLower();
    return row.kind == SettingKind::Trimmed ? text.trimmed() : text;
}

void ReadRow(QSettings& store, const SettingRow& row, Settings& s, const Report& report)
{
    switch (row.kind) {
    case SettingKind::Flag:
        s.*std::get<bool Settings::*>(row.field) = FlagOf(store, row, report);
        break;
    case SettingKind::Choice:
        s.*std::get<bool Settings::*>(row.field) = ChoiceOf(store, row, report);
        break;
    case SettingKind::Number:
        if (const auto* wide = std::get_if<qint64 Settings::*>(&row.field))
            s.**wide = NumberOf(store, row, report);
        else
            s.*std::get<int Settings::*>(row.field) = int(NumberOf(store, row, report));
        break;
    case SettingKind::Seconds:
        s.*std::get<QList<int> Settings::*>(row.field) = SecondsOf(store, row, report);
        break;
    default:
        s.*std::get<QString Settings::*>(row.field) = TextOf(store, row);
    }
}
}

const QList<SettingRow>& SettingRows() { return Rows; }

Settings Settings::Read(QSettings& store, const std::function<void(const QString&)>& report, const std::function<QString()>& machineName)
{
    Settings s;
    for (const SettingRow& row : Rows)
        ReadRow(store, row, s, report);
    if (s.HostName.isEmpty())
        s.HostName = machineName();
    if (!s.AcmeDirectory.isEmpty()) {   // the ACME client keeps the certificate in files of its own
        s.TlsCertificate = QStringLiteral("acme-certificate.pem");
        s.TlsKey = QStringLiteral("acme-key.pem");
    }
    if (s.DkimEd25519Selector.isEmpty())   // one name cannot publish two keys
        s.DkimEd25519Selector = s.DkimSelector + QStringLiteral("-ed25519");
    return s;
}
