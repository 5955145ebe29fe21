#pragma once
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <functional>
#include <map>
#include <memory>

// Finds the mail exchangers of a domain: DomainMX.txt first, otherwise the lookup script
// GetMX.sh, whose records are then kept in DomainMX.txt. The script's answer is read as it
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

    // Longest wait for the script to open the pipe, and for all of its output.
    int OpenTimeoutMs = 10000;
    int ReadTimeoutMs = 30000;

    struct Record {
        QString Priority;
        QString MX;
    };
    // The records of the script's output, in order. Records without "," after the
    // preference or without CR LF after the host are skipped.
    static QList<Record> ParseRecords(const QByteArray& output);
    // Host names by preference, lowest first; equal preferences keep their order.
    static QStringList ByPreference(QList<Record> records);
    // Whether the script's output says the domain does not exist.
    static bool SaysNoSuchDomain(const QByteArray& output);

private:
    struct Run;
    void Start(const QString& Domain);
    void Watch(const QString& Domain);
    void Finish(const QString& Domain);
    std::map<QString, std::unique_ptr<Run>> running_;
};

