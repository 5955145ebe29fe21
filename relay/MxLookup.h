#pragma once
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <functional>
#include <map>
#include <memory>

// Finds the mail exchangers of a domain: DomainMX.txt first, otherwise the lookup script
// GetMX.sh, whose records are then kept in DomainMX.txt until their TTL has passed. The script's answer is read as it
// comes, on the event loop: every other connection is served meanwhile.
class DNS {
public:
    DNS();
    ~DNS();

    // Hosts to try, best preference first; none when no record was found. `problem` says
    // why there is no answer (a table failure, no script, NoSuchDomain, NullMx); "" otherwise.
    using Answer = std::function<void(const QStringList& hosts, const QString& problem)>;
    // Answers at once from the table; after the script otherwise. Lookups of one domain at
    // the same time share one run of the script.
    void Lookup(const QString& Domain, Answer answer);

    // The lookup says the domain does not exist (the NXDOMAIN that dig, host and nslookup
    // print), or that it takes no mail (RFC 7505: its one MX is ".").
    static inline const QString NoSuchDomain = QStringLiteral("no such domain");
    static inline const QString NullMx = QStringLiteral("null MX");
    // The script took longer than its time and was stopped, and nothing was known before.
    static inline const QString LookupTimedOut = QStringLiteral("lookup timed out");

    // Longest wait for the script to open the pipe, and for all of its output.
    int OpenTimeoutMs = 10000;
    int ReadTimeoutMs = 30000;
    // Longest a learned row is used before DNS is asked again (setting MxCacheSeconds).
    qint64 CacheSeconds = 3600;

    struct Record {
        QString Priority;
        QString MX;
        qint64 Ttl = -1;   // seconds, when the script says ("ttl = N" after the preference's comma)
    };
    // The records of the script's output, in order. Records without "," after the
    // preference or without CR LF after the host are skipped.
    static QList<Record> ParseRecords(const QByteArray& output);
    // Host names by preference, lowest first; equal preferences keep their order.
    static QStringList ByPreference(QList<Record> records);
    // When a row's Priority says it is to be asked again (seconds since the epoch; 0 when
    // unreadable), or -1 for a row written by hand.
    static qint64 LearnedUntil(const QString& priority);
    // Whether the script's output says the domain does not exist.
    static bool SaysNoSuchDomain(const QByteArray& output);

private:
    struct Run;
    void Start(const QString& Domain);
    void Watch(const QString& Domain);
    void Finish(const QString& Domain);
    QString Learn(const QString& Domain, const QList<Record>& records);
    std::map<QString, std::unique_ptr<Run>> running_;
};

