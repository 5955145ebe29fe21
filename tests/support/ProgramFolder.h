#pragma once
// A program folder of its own, with the two tables and Users/, for a unit test or a fuzz run.
#include "core/mdlCommon.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>

struct ProgramFolder {
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
    QString Mailbox(const QString& id) const { QDir(dir.path()).mkpath("Users/" + id); return Path("Users/" + id); }
    bool Write(const QString& rel, const QByteArray& content) const
    {
        QDir(dir.path()).mkpath(QFileInfo(Path(rel)).path());
        QFile f(Path(rel));
        return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(content) == content.size();
    }
    QByteArray Read(const QString& rel) const { QFile f(Path(rel)); return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray(); }
    QStringList Files(const QString& rel) const { return QDir(Path(rel)).entryList(QDir::Files | QDir::Hidden, QDir::Name); }
    QStringList Entries() const   // every path below the folder, links and hidden ones too
    {
        QStringList all;
        for (QDirIterator it(dir.path(), QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories); it.hasNext();)
            all << QDir(dir.path()).relativeFilePath(it.next());
        all.sort();
        return all;
    }
};
