#pragma once
#include <QByteArray>
#include <QList>
#include <QStringList>

// Comma-separated text as people and spreadsheets write it (RFC 4180, UTF-8).
namespace Csv {

struct Record {
    QStringList fields;
    QByteArray raw;      // the record's bytes as found, without its line end
    QByteArray end;      // its line end as found: LF, CR LF, or "" (or a lone CR) at the end of the data
    int line = 0;        // 1-based line where the record starts
    bool ok = true;      // false: could not be read as fields (kept only as raw text)
    QString problem;
};

struct Document {
    bool bom = false;
    QByteArray newline = "\n";   // the line end the file uses
    QList<Record> records;       // blank lines are records with ok == false and empty raw
};

Document Parse(const QByteArray& data);

// One record, quoted where a field holds a comma, a quote or a line break; no line end.
QByteArray Format(const QStringList& fields);

}
