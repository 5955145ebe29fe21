#pragma once
// Shared by the unit tests: a fake connection manager that records what the
// handlers send, and a fresh program folder per test.
#include "core/Connecter.h"
#include "core/Server.h"
#include "core/mdlCommon.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <map>
#include <memory>
#include <vector>

class FakeServer : public Server {
public:
    std::map<qint16, std::unique_ptr<Connecter>> sessions;
    std::vector<std::pair<qint16, QByteArray>> sent;      // every SendReply, in order
    QList<QByteArray> log;                                 // newest last
    std::vector<std::pair<qint16, QString>> connects;      // relay connections asked for
    std::vector<qint16> released;
    QByteArray host = "mx.test.host";

    Connecter* Session(qint16 i) override
    {
        auto it = sessions.find(i);
        return it == sessions.end() ? nullptr : it->second.get();
    }
    void SendReply(qint16 i, const QByteArray& text) override
    {
        sent.emplace_back(i, text);
        log << QByteArray::number(i) + '>' + text;
    }
    void Log(const QByteArray& line) override { log << line; }
    qint16 GetFreeIndex() override
    {
        qint16 i = 2;
        while (sessions.count(i)) ++i;
        return i;
    }
    void AddSession(qint16 i, std::unique_ptr<Connecter> s) override { sessions[i] = std::move(s); }
    void Connect(qint16 i, const QString& h, quint16 port) override { connects.emplace_back(i, h + ':' + QString::number(port)); }
    void Release(qint16 i) override
    {
        released.push_back(i);
        log << "Close " + QByteArray::number(i);
        sessions.erase(i);
    }
    QByteArray LocalHostName(qint16) override { return host; }

    // A new session at index i with the given Step, as the connection manager makes it.
    Connecter& Open(qint16 i, int step)
    {
        sessions[i] = std::make_unique<Connecter>();
        sessions[i]->SetStep(step);
        return *sessions[i];
    }
    // Replies sent on one index, in order.
    QList<QByteArray> RepliesTo(qint16 i) const
    {
        QList<QByteArray> r;
        for (const auto& [idx, text] : sent)
            if (idx == i) r << text;
        return r;
    }
    QByteArray LastReply() const { return sent.empty() ? QByteArray() : sent.back().second; }
};

// A fresh program folder with the two tables and Users/, set as the program folder.
class ProgramFolder {
public:
    QTemporaryDir dir;
    ProgramFolder(const QByteArray& users = "UserName,Password,MailID\n",
                  const QByteArray& domainMx = "Domain,MX,Priority\n")
    {
        QDir(dir.path()).mkpath(QStringLiteral("Users"));
        Write(QStringLiteral("Users.txt"), users);
        Write(QStringLiteral("DomainMX.txt"), domainMx);
        mdlCommon::SetProgramFolder(dir.path());
    }
    ~ProgramFolder() { mdlCommon::SetProgramFolder(QString()); }
    QString Path(const QString& rel) const { return dir.filePath(rel); }
    void Write(const QString& rel, const QByteArray& content) const
    {
        QFile f(Path(rel));
        f.open(QIODevice::WriteOnly | QIODevice::Truncate);
        f.write(content);
    }
    QByteArray Read(const QString& rel) const
    {
        QFile f(Path(rel));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    QString Mailbox(const QString& id) const
    {
        QDir(dir.path()).mkpath(QStringLiteral("Users/") + id);
        return Path(QStringLiteral("Users/") + id);
    }
    QStringList Files(const QString& rel) const { return QDir(Path(rel)).entryList(QDir::Files | QDir::Hidden, QDir::Name); }
};
