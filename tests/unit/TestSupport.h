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
#include <vector>

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

// Plays a dialogue on connection `index`. A row "C: text" is one buffer from the client,
// handed to `send` with its lines ended by CR LF ("\n" in a row separates lines); the rows
// "S: text" after it are the replies it must get, in order ("\n" inside one reply stands
// for CR LF; a row ending in "*" matches by its start).
template <class Send>
void Play(FakeServer& s, qint16 index, const Lines& script, Send send)
{
    qsizetype k = 0;
    while (k < script.size()) {
        QVERIFY2(script[k].startsWith("C: "), script[k].constData());
        const QByteArray buffer = script[k].mid(3).replace("\n", "\r\n") + "\r\n";
        const Lines before = s.RepliesTo(index);
        send(buffer);
        const Lines got = s.RepliesTo(index).mid(before.size());
        Lines want;
        for (++k; k < script.size() && script[k].startsWith("S: "); ++k)
            want << script[k].mid(3).replace("\n", "\r\n");
        QVERIFY2(got.size() == want.size(), ("after " + buffer + " got: " + got.join(" | ")).constData());
        for (qsizetype r = 0; r < got.size(); ++r) {
            const bool prefix = want[r].endsWith('*');
            QVERIFY2(prefix ? got[r].startsWith(want[r].chopped(1)) : got[r] == want[r],
                     ("after " + buffer + " want: " + want[r] + " got: " + got[r]).constData());
        }
    }
}

inline QString ScriptsDir() { return qEnvironmentVariable("RELAY_TEST_SCRIPTS", QFINDTESTDATA("scripts")); }
