// The POP3 side of a session: login against Users.txt, the numbered message list,
// deletion marks, and the replies built from them.
#include "pop3/Pop3Session.h"
#include "core/Access.h"
#include "core/Failure.h"
#include "core/Server.h"
#include "core/TextHelper.h"
#include "core/mdlCommon.h"
#include "store/MailStore.h"

#include <unistd.h>

namespace {

QByteArray Num(qint64 n) { return QByteArray::number(n); }

QByteArray FailureReply(const Failure& f) { return "-ERR " + f.text(); }

// A message of the listing whose file another session has removed or marked since: an
// answer about it alone, without the system's words or the file's name.
Failure Gone(int n)
{
    return Failure(Err::FileNotFound, QStringLiteral("Message %1 is gone (removed by another session)").arg(n));
}

// Runs `op` on the file of message n; a file that is no longer there makes it Gone.
template <class Op>
auto OnFile(int n, Op op) -> decltype(op())
{
    try {
        return op();
    } catch (const Failure& f) {
        if (f.number == Err::FileNotFound)
            throw Gone(n);
        throw;
    }
}

// The text after the command word, blanks around it dropped; "" when there is none.
QByteArray ArgumentOf(const QByteArray& data)
{
    const qsizetype blank = data.indexOf(' ');
    const qsizetype end = data.indexOf("\r\n");
    if (blank < 0 || end < 0 || blank > end)
        return {};
    return data.mid(blank + 1, end - blank - 1).trimmed();
}


}

void Pop3Session::SetUserName(const QString& NewUserName) { userName_ = NewUserName; }

void Pop3Session::SetPassword(const QString& NewPassword) { password_ = NewPassword; }

bool Pop3Session::LogIn()
{
    SetMailID(Access::AccountMailId(userName_, password_, "Login"));
    return !mailId_.isEmpty();
}

void Pop3Session::SetMailID(const QString& NewMailID)
{
    mailId_ = NewMailID;
    if (mailId_.isEmpty()) {
        mailFolder_.clear();
        return;
    }
    mailFolder_ = MailStore::MailboxFolder(mailId_);
    if (mailFolder_.isEmpty()) {
        mdlCommon::Report(QStringLiteral("Login of %1 refused: mail ID \"%2\" names no mailbox folder under Users").arg(userName_, mailId_));
        mailId_.clear();
        return;
    }
    ScanMailbox();
}

void Pop3Session::ScanMailbox()
{
    TakeBackMarks();   // a new login starts afresh
    listFolder_ = mailFolder_;
    listing_ = MailStore::List(mailFolder_);
    mailCount_ = int(listing_->messages.size());
    mailSize_ = listing_->bytes;
}

// The file of message n as it is named now: marked or not.
const QString& Pop3Session::FileOf(int n) const
{
    const auto mark = marks_.find(n);
    return mark != marks_.end() ? mark->second : listing_->messages[size_t(n - 1)].name;
}

// Sizes as listed at the login, as STAT counts them: a message another session took away
// since keeps its line, and only what needs its file fails.
qint64 Pop3Session::SizeOf(int n) const { return listing_->messages[size_t(n - 1)].size; }

int Pop3Session::MessageNumber(const QByteArray& data) const
{
    const QByteArray arg = TextHelper::TextBetween(data, " ", "\r\n").trimmed();
    bool ok = false;
    const qlonglong n = arg.toLongLong(&ok);
    if (!ok)
        throw Failure(Err::TypeMismatch, QStringLiteral("Type mismatch (message number expected)"));
    if (n < -32768 || n > 32767)
        throw Failure(Err::Overflow, QStringLiteral("Overflow (message number)"));
    if (n < 1 || !listing_ || n > qint64(listing_->messages.size()))
        throw Failure(Err::OutOfRange, QStringLiteral("Subscript out of range (no message %1)").arg(n));
    return int(n);
}

int Pop3Session::UnmarkedNumber(const QByteArray& data) const
{
    const int n = MessageNumber(data);
    if (marks_.count(n))
        throw Failure(Err::OutOfRange, QStringLiteral("Message %1 is already deleted").arg(n));
    return n;
}

QByteArray Pop3Session::GetSTAT()
{
    if (mailId_.isEmpty())
        return "+OK 0 0";
    return "+OK " + Num(mailCount_) + ' ' + Num(mailSize_);
}

QByteArray Pop3Session::GetLIST(const QByteArray& data)
{
    const bool one = !ArgumentOf(data).isEmpty();
    if (mailId_.isEmpty() && !one)
        return "+OK 0 0\r\n.";
    try {
        if (one) {
            if (mailId_.isEmpty())
                throw Failure(Err::OutOfRange, QStringLiteral("Subscript out of range (nobody is logged in)"));
            const int n = UnmarkedNumber(data);
            return "+OK " + Num(n) + ' ' + Num(SizeOf(n));
        }
        QByteArray r = "+OK " + Num(mailCount_) + ' ' + Num(mailSize_) + "\r\n";
        const int count = listing_ ? int(listing_->messages.size()) : 0;
        for (int i = 1; i <= count; ++i)
            if (!marks_.count(i))
                r += Num(i) + ' ' + Num(SizeOf(i)) + "\r\n";
        return r + '.';
    } catch (const Failure& f) {
        return FailureReply(f);
    }
}

QByteArray Pop3Session::GetUIDL(const QByteArray& data)
{
    const bool one = !ArgumentOf(data).isEmpty();
    if (!one) {
        if (mailId_.isEmpty())
            return "+OK 0 0\r\n.";
        QByteArray r = "+OK uidl command accepted.\r\n";
        const int count = listing_ ? int(listing_->messages.size()) : 0;
        for (int i = 1; i <= count; ++i)
            r += Num(i) + ' ' + FileOf(i).left(MailStore::StemLength).toUtf8() + "\r\n";
        return r + '.';
    }
    try {
        if (mailId_.isEmpty())
            throw Failure(Err::OutOfRange, QStringLiteral("Subscript out of range (nobody is logged in)"));
        const int n = UnmarkedNumber(data);
        return "+OK " + Num(n) + ' ' + FileOf(n).left(MailStore::StemLength).toUtf8();
    } catch (const Failure& f) {
        return FailureReply(f);
    }
}

FileReply Pop3Session::GetRETR(const QByteArray& data)
{
    try {
        const int n = MessageNumber(data);
        FileReply reply = OnFile(n, [&] { return MailStore::Open(listFolder_, FileOf(n), SizeOf(n)); });
        reply.head = "+OK " + Num(reply.length) + " octets\r\n";
        reply.tail = ".";
        return reply;
    } catch (const Failure& f) {
        return FailureReply(f);
    }
}

FileReply Pop3Session::GetTOP(const QByteArray& data)
{
    try {
        // "TOP n m": the message number is the first word, the line count the second.
        const QList<QByteArray> words = ArgumentOf(data).simplified().split(' ');
        bool ok = false;
        const qint64 lines = words.value(1).toLongLong(&ok);
        if (words.size() != 2 || !ok || lines < 0)
            throw Failure(Err::InvalidArgument, QStringLiteral("Invalid procedure call or argument (TOP message lines)"));
        const int n = UnmarkedNumber("TOP " + words[0] + "\r\n");
        FileReply reply = OnFile(n, [&] { return MailStore::Open(listFolder_, FileOf(n), SizeOf(n)); });
        QByteArray text;
        reply.length = MailStore::TopLength(reply, lines, &text);
        // Each line ends in CR LF, the last one too.
        const QByteArray tail = reply.length == 0 || (text.size() == reply.length ? text.endsWith("\r\n") : reply.EndsWithCrLf()) ? "." : "\r\n.";
        if (text.size() == reply.length)   // read already: the reply is text, and the file closes
            return FileReply("+OK\r\n" + text + tail);
        reply.head = "+OK\r\n";
        reply.tail = tail;
        return reply;
    } catch (const Failure& f) {
        return FailureReply(f);
    }
}

QByteArray Pop3Session::GetDELE(const QByteArray& data)
{
    if (mailId_.isEmpty())
        return "+OK ";
    try {
        const int n = UnmarkedNumber(data);
        const MailStore::Message& m = listing_->messages[size_t(n - 1)];
        marks_[n] = OnFile(n, [&] { return MailStore::Mark(listFolder_, m.name); });
        --mailCount_;
        mailSize_ -= m.size;
        return "+OK Deleted success.";
    } catch (const Failure& f) {
        return FailureReply(f);
    }
}

QByteArray Pop3Session::GetRSET()
{
    int count = 0;
    try {
        for (auto mark = marks_.begin(); mark != marks_.end(); mark = marks_.erase(mark)) {
            MailStore::Unmark(listFolder_, mark->second);
            ++mailCount_;
            mailSize_ += listing_->messages[size_t(mark->first - 1)].size;
            ++count;
        }
    } catch (const Failure& f) {
        return FailureReply(f);
    }
    return "+OK Reset file count " + Num(count);
}

void Pop3Session::Purge()
{
    // Only what this session marked: another session's marks are its own business.
    for (const auto& [n, name] : marks_)
        MailStore::Purge(listFolder_, name);
    marks_.clear();
}

void Pop3Session::TakeBackMarks()
{
    for (const auto& [n, name] : marks_) {
        try {
            MailStore::Unmark(listFolder_, name);
        } catch (const Failure& f) {
            mdlCommon::Report(QStringLiteral("Cannot take back the mark of %1: %2").arg(name, QString::fromUtf8(f.text())));
        }
    }
    marks_.clear();
}

Pop3Session::~Pop3Session() { TakeBackMarks(); }

int Pop3Session::IdleSeconds(int, const Settings& settings) const { return settings.Pop3Timeout; }

void Pop3Session::TimedOut(Server& server, qint16 index, qint64)
{
    server.Release(index);   // its marks are taken back
}

void Pop3Session::Stepping(int from, int to)
{
    if (to == Closing && from == int(Pop3Step::Session))
        Purge();
}

// No password reaches the log, however it is spelt or packed: whatever follows PASS on any
// line of the buffer (the command table reads its first four letters, and the argument from
// the first blank), and the login an AUTH line may carry although it is not offered.
QByteArray Pop3Session::Masked(const QByteArray& buffer, int) const
{
    // A PASS with nothing after it on its line may have its password on the next one.
    bool next = false;
    return TextHelper::ReplaceLines(buffer, [&next](QByteArrayView line) {
        if (std::exchange(next, false) && !line.trimmed().isEmpty())
            return "********" + TextHelper::LineEnd(line);
        if (const qsizetype pass = TextHelper::WordAt(line, "PASS"); pass >= 0) {
            QByteArray hidden = TextHelper::HiddenFrom(line, pass + 4);
            next = hidden.isNull();
            return hidden;
        }
        return TextHelper::WordAt(line, "AUTH") >= 0 ? TextHelper::KeepWords(line, 2) : QByteArray();
    });
}
