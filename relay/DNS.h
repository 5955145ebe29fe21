#pragma once
#include <QByteArray>
#include <QString>

// Finds the mail exchanger of a domain: DomainMX.txt first, otherwise the lookup
// script GetMX.sh, whose records are then kept in DomainMX.txt.
class DNS {
public:
    // Host to connect to, or "" when none was found. Table failures throw Failure.
    QString GetMX(const QString& Domain);

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

private:
    QByteArray LookupMX(const QString& Domain);
};

// The one lookup object of the server.
DNS& TheDNS();
