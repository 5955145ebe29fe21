#pragma once
#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <functional>
#include <map>
#include <memory>

namespace MailStore { struct Listing; }

// What a connection is doing. The numbers are the ones the log and the operators know.
enum Steps : int {
    SmtpCommands = 0,     // SMTP: reading commands
    SmtpText = 2,         // SMTP: receiving message text after DATA
    SmtpAfterHelo = 3,    // SMTP: reading commands after HELO
    SmtpAfterEhlo = 4,    // SMTP: reading commands after EHLO
    Pop3Session = 5,      // POP3 connection
    Closing = 6,          // released once the last reply has gone out
    RelayConnecting = 7,  // relay: waiting for the exchanger's greeting
    RelayEhloSent = 8,
    RelayMailSent = 9,
    RelayRcptSent = 10,
    RelayDataSent = 11,
    RelayTextSent = 12,   // message and end-of-data line sent
    RelayQuitSent = 13,
    RelayTlsSent = 14,    // STARTTLS sent to an exchanger that offered it
};
inline bool IsRelayStep(int step) { return step >= RelayConnecting && step <= RelayTlsSent; }

// The state of one live connection, whatever its role: POP3 client, SMTP peer or relay.
class Connecter {
public:
    // Receive buffer: everything received and not yet handed to a protocol handler.
    QByteArray Command;
    // SMTP: text gathered after DATA. Relay: the text to deliver, its last line ended by
    // CR LF; every relay of one message shares it.
    QByteArray Message;
    // SMTP: recipients of the open transaction, in RCPT order. Relay: exactly one.
    QList<QByteArray> Address;
    // Envelope sender.
    QByteArray From;

    // What only an inbound SMTP connection keeps.
    struct SmtpExtras {
        QByteArray Helo;                // the name the client gave, for the Received line
        bool Esmtp = false;             // it greeted with EHLO
        qsizetype MessageScanned = 0;   // how much of Message was searched for the end of data
        bool Oversized = false;         // the message outgrew the limit: its text is dropped
        bool Delivering = false;        // a message is being stored; what arrives meanwhile waits
        QByteArray Pending;             // input that arrived while a message was being stored
        int Recipients = 0;             // RCPT commands of the open transaction, refused ones too
        qint64 DeclaredSize = 0;        // SIZE= of the MAIL command: room made for the text at once
        bool OverBudget = false;        // the server's memory budget ran out during the message
        QByteArray Auth;                // the AUTH exchange under way: "PLAIN", "LOGIN", "CRAM-MD5"
        QByteArray AuthUser;            // LOGIN: the name given so far
        QByteArray Challenge;           // CRAM-MD5: what the client must answer
        QString User;                   // who logged in with AUTH, "" for nobody
    } Smtp;

    // What only a relay connection keeps.
    struct RelayExtras {
        bool TlsOffered = false;   // the exchanger's EHLO reply offers STARTTLS
        QByteArray Head;           // the trace line this copy gets on top of Message
        std::shared_ptr<void> Held;   // Message's share of the memory budget, once for all relays
        // What became of the copy, told once: the reply that decided it and the step it came
        // in. A connection that ends first tells Error ("" when nothing is known) instead.
        std::function<void(const QByteArray& reply, int step)> Done;
        QByteArray Error;
    } Relay;

    // Tells this session from a later one on the same index.
    const quint64 Serial = NextSerial();

    Connecter() = default;
    Connecter(const Connecter&) = delete;
    Connecter& operator=(const Connecter&) = delete;
    // A POP3 session that ends without QUIT takes its marks back; a relay that ends before
    // its copy was settled says so.
    ~Connecter();
    // The relay's copy is settled: Done runs once with this reply.
    void Settle(const QByteArray& reply);

    // POP3 mailbox operations; each returns the whole reply without its final CR LF.
    QByteArray GetDELE(const QByteArray& data);
    QByteArray GetLIST(const QByteArray& data = {});
    QByteArray GetMAIL(const QByteArray& data);
    QByteArray GetRCPT(const QByteArray& data);
    QByteArray GetRETR(const QByteArray& data);
    QByteArray GetRSET();
    QByteArray GetSTAT();
    QByteArray GetUIDL(const QByteArray& data = {});
    QByteArray GetTOP(const QByteArray& data);

    int Step() const { return step_; }
    void SetStep(int NewStep);

    QString MailID() const { return mailId_; }
    void SetMailID(const QString& NewMailID);
    QString UserName() const { return userName_; }
    void SetUserName(const QString& NewUserName);
    QString Password() const { return password_; }
    void SetPassword(const QString& NewPassword);

    QString MailFolder() const { return mailFolder_; }
    int MailCount() const { return mailCount_; }
    qint64 MailSize() const { return mailSize_; }

private:
    static quint64 NextSerial()
    {
        static quint64 n = 0;
        return ++n;
    }
    void Purge();
    void TakeBackMarks();
    void Authenticate();
    void ScanMailbox();
    int MessageNumber(const QByteArray& data) const;
    int UnmarkedNumber(const QByteArray& data) const;
    const QString& FileOf(int n) const;
    QString listFolder_;   // the folder the listing was read from
    std::shared_ptr<const MailStore::Listing> listing_;   // the messages as of the login
    std::map<int, QString> marks_;                     // message number -> its marked name

    int step_ = 0;
    QString mailFolder_;
    QString userName_, password_, mailId_;
    int mailCount_ = 0;
    qint64 mailSize_ = 0;
};
