#pragma once
// The SMTP part of an inbound session: the client's introduction, the open transaction,
// the message text after DATA, and an AUTH exchange under way.
#include "core/Connecter.h"
#include "deliver/Envelope.h"

#include <QList>
#include <QString>
#include <any>

// An inbound SMTP connection's steps, as the log and the operators know their numbers;
// then every protocol's Closing.
enum class SmtpStep : int {
    Commands = 0,    // reading commands
    Text = 2,        // receiving message text after DATA
    AfterHelo = 3,   // reading commands after HELO
    AfterEhlo = 4,   // reading commands after EHLO
};

// Largest message we take.
inline constexpr qsizetype MaxMessageSize = qsizetype(256) << 20;
// Longest command line, CR LF included.
inline constexpr qsizetype MaxCommandLine = 512;

// One mail transaction: its envelope, sender and recipients in RCPT order, and the text after
// DATA. RSET, STARTTLS and a new MAIL replace it whole.
struct Transaction {
    QByteArray From;
    QList<QByteArray> Recipients;
    QList<Recipient> Classified;   // where each of them goes, found at RCPT
    QByteArray Text;               // the text gathered after DATA
    int RcptCommands = 0;          // RCPT commands, refused ones too
    qint64 DeclaredSize = 0;       // SIZE= of the MAIL command: room made for the text at once
    bool SenderRefused = false;    // the last MAIL was refused: no RCPT until a MAIL or RSET is taken
    bool Open = false;             // a MAIL was taken and its message has not ended
    std::any SenderCheck;          // what checking the sender at MAIL found, for the delivery

    // The transaction after this one's message: its sender and size stay, as they always have,
    // for a client that sends RCPT and DATA again without MAIL.
    Transaction Following() const;
};

class SmtpSession : public Connecter::Protocol {
public:
    Transaction Tx;   // the open transaction

    QByteArray Helo;                // the name the client gave, for the Received line
    bool Esmtp = false;             // it greeted with EHLO
    qsizetype TextScanned = 0;      // how much of Tx.Text was searched for the end of data
    bool Oversized = false;         // the message outgrew the limit: its text is dropped
    bool OverBudget = false;        // the server's memory budget ran out during the message
    bool Delivering = false;        // a message is being stored; what arrives meanwhile waits
    QByteArray Pending;             // input that arrived while a message was being stored
    QByteArray Auth;                // the AUTH exchange under way: "PLAIN", "LOGIN", "CRAM-MD5"
    QByteArray AuthUser;            // LOGIN: the name given so far
    QByteArray Challenge;           // CRAM-MD5: what the client must answer
    QString User;                   // who logged in with AUTH, "" for nobody
    bool Submission = false;        // on the submission port: AUTH before MAIL, whatever RelayNetworks says

    // MAIL and RCPT; each returns the whole reply without its final CR LF.
    QByteArray GetMAIL(const QByteArray& data);
    QByteArray GetRCPT(const QByteArray& data);

    int IdleSeconds(int step, const Settings& settings) const override;
    int StepSeconds(int step, const Settings& settings) const override;
    void TimedOut(Server& server, qint16 index, qint64 silentSeconds) override;
    qint64 Held() const override { return Tx.Text.capacity() + Pending.size(); }   // what it has room for is held
    bool TakesPartialLines(int step) const override { return step == int(SmtpStep::Text); }
    QByteArray Masked(const QByteArray& buffer, int step) const override;
    void Stepping(int from, int to) override;

private:
    int AnswersOwed() const;    // lines the AUTH exchange under way still reads as answers
    mutable int maskOwed_ = 0;  // the same once every line logged so far is read (see Masked)
};
