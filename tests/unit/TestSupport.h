#pragma once
// Shared by the unit tests: the fake connection manager, a fresh program folder per
// test, and a check that an operation fails.
#include "core/Failure.h"
#include "core/mdlCommon.h"
#include "tests/support/FakeServer.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>
#include <optional>

// A fresh program folder with the two tables and Users/, set as the program folder.
class ProgramFolder {
public:
    QTemporaryDir dir;
    explicit ProgramFolder(const QByteArray& users = "UserName,Password,MailID\n", const QByteArray& domainMx = "Domain,MX,Priority\n")
    {
        QDir(dir.path()).mkpath("Users");
        Write("Users.txt", users);
        Write("DomainMX.txt", domainMx);
        mdlCommon::SetProgramFolder(dir.path());
    }
    ~ProgramFolder() { mdlCommon::SetProgramFolder(QString()); }
    QString Path(const QString& rel) const { return dir.filePath(rel); }
    void Write(const QString& rel, const QByteArray& content) const
    {
        QFile f(Path(rel));
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(content);
    }
    QByteArray Read(const QString& rel) const
    {
        QFile f(Path(rel));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    QString Mailbox(const QString& id) const
    {
        QDir(dir.path()).mkpath("Users/" + id);
        return Path("Users/" + id);
    }
    QStringList Files(const QString& rel) const { return QDir(Path(rel)).entryList(QDir::Files | QDir::Hidden, QDir::Name); }
};

// The Failure that `f` throws, or none (the caller checks it has one).
template <class F>
std::optional<Failure> FailureOf(F f)
{
    try { f(); } catch (const Failure& e) { return e; }
    return std::nullopt;
}

inline QString ScriptsDir() { return qEnvironmentVariable("RELAY_TEST_SCRIPTS", QFINDTESTDATA("scripts")); }
