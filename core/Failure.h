#pragma once
#include <QByteArray>
#include <QString>
#include <exception>

// A failure that an operation reports to its caller: a number and a description.
// Trapping operations turn it into a reply, a log line or a message box.
struct Failure : std::exception {
    int number;
    QString description;
    Failure(int n, QString d) : number(n), description(std::move(d)) {}
    const char* what() const noexcept override { return "Failure"; }
    // number ":" description, the form every reply and message box uses
    QByteArray text() const { return QByteArray::number(number) + ':' + description.toUtf8(); }
};

// The numbers we report. They follow the classic run-time error numbering that
// operators of small Windows-era mail servers know from their message boxes.
namespace Err {
constexpr int InvalidArgument = 5;   // "Invalid procedure call or argument"
constexpr int Overflow = 6;
constexpr int OutOfRange = 9;        // "Subscript out of range"
constexpr int TypeMismatch = 13;
constexpr int FileNotFound = 53;
constexpr int DeviceIO = 57;         // "Device I/O error": an errno without a number of its own
constexpr int FileExists = 58;
constexpr int DiskFull = 61;
constexpr int PermissionDenied = 70;
constexpr int PathAccess = 75;       // "Path/File access error": the mailbox folder exists
constexpr int PathNotFound = 76;
constexpr int NoCurrentRecord = 3021;
constexpr int TableWrite = 3027;     // a table file could not be written
constexpr int Database = 3146;       // statement failed in the table engine
constexpr int Socket = 10000;        // base for socket errors: 10000 + Qt's error code
}

// Failure from an errno value, with the path it concerns.
Failure FailureFromErrno(int err, const QString& what);
