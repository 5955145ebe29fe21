#pragma once
// Shared by the unit tests: a fake connection manager that records what the handlers
// send, a fresh program folder per test, and a check that an operation fails.
#include "core/Connecter.h"
#include "core/Failure.h"
#include "core/Server.h"
#include "core/mdlCommon.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>
#include <map>
#include <memory>
#include <optional>
#include <vector>

using Lines = QList<QByteArray>;

class FakeServer : public Server {
public:
    std::map<qint16, std::unique_ptr<Connecter>> sessions;
    std::vector<std::pair<qint16, QByteArray>> sent;   // every SendReply, in order
    Lines log;                                          // newest last; replies as "i>text"
    std::vector<std::pair<qint16, QString>> connects;   // relay connections asked for, as host:port
    std::vector<qint16> released;

    Connecter* Session(qint16 i) override { return sessions.count(i) ? sessions[i].get() : nullptr; }
    void SendReply(qint16 i, const QByteArray& text) override { sent.emplace_back(i, text); log << QByteArray::number(i) + '>' + text; }
    void Log(const QByteArray& line) override { log << line; }
    qint16 GetFreeIndex() override { qint16 i = 2; while (sessions.count(i)) ++i; return i; }
    void AddSession(qint16 i, std::unique_ptr<Connecter> s) override { sessions[i] = std::move(s); }
    void Connect(qint16 i, const QString& h, quint16 port) override { connects.emplace_back(i, h + ':' + QString::number(port)); }
    void Release(qint16 i) override { released.push_back(i); sessions.erase(i); }
    QByteArray LocalHostName(qint16) override { return "mx.test.host"; }
    QByteArray PeerAddress(qint16) override { return "127.0.0.1"; }

    Connecter& Open(qint16 i, int step)   // a new session, as the connection manager makes it
    {
        sessions[i] = std::make_unique<Connecter>();
        sessions[i]->SetStep(step);
        return *sessions[i];
    }
    Lines RepliesTo(qint16 i) const
    {
        Lines r;
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
