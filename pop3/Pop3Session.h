#pragma once
// The POP3 part of a session: who logged in, the numbered message list as of the login,
// this session's deletion marks, and the mailbox operations that answer from them.
#include "core/Connecter.h"
#include "core/Server.h"

#include <QString>
#include <map>
#include <memory>

namespace MailStore { struct Listing; }

// A POP3 connection's steps: 5 while it is served, then every protocol's Closing.
enum class Pop3Step : int { Session = 5 };

class Pop3Session : public Connecter::Protocol {
public:
    Pop3Session() = default;
    // A session that ends without QUIT takes its marks back.
    ~Pop3Session() override;

    // The mailbox operations; each returns the whole reply without its final CR LF.
    QByteArray GetDELE(const QByteArray& data);
    QByteArray GetLIST(const QByteArray& data = {});
    FileReply GetRETR(const QByteArray& data);
    QByteArray GetRSET();
    QByteArray GetSTAT();
    QByteArray GetUIDL(const QByteArray& data = {});
    FileReply GetTOP(const QByteArray& data);

    QString MailID() const { return mailId_; }
    void SetMailID(const QString& NewMailID);
    QString UserName() const { return userName_; }
    void SetUserName(const QString& NewUserName);
    QString Password() const { return password_; }
    void SetPassword(const QString& NewPassword);
    // Logs in the account of the user name and password given, or nobody; true for someone.
    bool LogIn();

    QString MailFolder() const { return mailFolder_; }
    int MailCount() const { return mailCount_; }
    qint64 MailSize() const { return mailSize_; }

    // What the connection manager asks of every protocol.
    int IdleSeconds(int step, const Settings& settings) const override;
    void TimedOut(Server& server, qint16 index, qint64 silentSeconds) override;
    QByteArray Masked(const QByteArray& buffer, int step) const override;
    void Stepping(int from, int to) override;   // QUIT (Closing) removes what was marked

private:
    void Purge();
    void TakeBackMarks();
    void ScanMailbox();
    int MessageNumber(const QByteArray& data) const;
    int UnmarkedNumber(const QByteArray& data) const;
    const QString& FileOf(int n) const;
    qint64 SizeOf(int n) const;

    QString listFolder_;   // the folder the listing was read from
    std::shared_ptr<const MailStore::Listing> listing_;   // the messages as of the login
    std::map<int, QString> marks_;                     // message number -> its marked name
    QString mailFolder_;
    QString userName_, password_, mailId_;
    int mailCount_ = 0;
    qint64 mailSize_ = 0;
};
