// The POP3 side of a session: login against Users.txt, the numbered message list,
// deletion marks, and the replies built from them.
#include "core/Connecter.h"
#include "core/Failure.h"
#include "core/MailStore.h"
#include "core/TextDatabase.h"
#include "core/TextHelper.h"
#include "core/mdlCommon.h"

#include <QDir>
#include <QFile>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <vector>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Calls `f` for every entry of `folder` whose name ends in `suffix`.
template <typename F>
void ForEachEntry(const QString& folder, const char* suffix, F f)
{
    DIR* dir = ::opendir(QFile::encodeName(folder).constData());
    if (!dir)
        return;
    const size_t n = strlen(suffix);
    while (const dirent* e = ::readdir(dir)) {
        const size_t len = strlen(e->d_name);
        if (len >= n && memcmp(e->d_name + len - n, suffix, n) == 0)
            f(::dirfd(dir), e->d_name);
    }
    ::closedir(dir);
}

QByteArray Num(qint64 n) { return QByteArray::number(n); }

QByteArray FailureReply(const Failure& f) { return "-ERR " + f.text(); }

qint64 SizeOf(const QString& path, const QString& name)
{
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        throw FailureFromErrno(errno, name);
    return st.st_size;
}

// The marked or unmarked name of a message file: only its last three characters change.
QString WithExtension(const QString& name, const char* ext)
{
    return name.left(name.size() - 3) + QLatin1String(ext);
}

// Renames within the mailbox, never over another file.
void Rename(const QString& folder, const QString& from, const QString& to)
{
    const QByteArray a = QFile::encodeName(folder + QLatin1Char('/') + from);
    const QByteArray b = QFile::encodeName(folder + QLatin1Char('/') + to);
    if (::renameat2(AT_FDCWD, a.constData(), AT_FDCWD, b.constData(), RENAME_NOREPLACE) != 0)
        throw FailureFromErrno(errno, from);
}

}

void Connecter::SetUserName(const QString& NewUserName)
{
    userName_ = NewUserName;
    if (!password_.isEmpty())
        Authenticate();
}

void Connecter::SetPassword(const QString& NewPassword)
{
    password_ = NewPassword;
    if (!userName_.isEmpty())
        Authenticate();
}

void Connecter::Authenticate()
{
    QString found;
    try {
        const auto r = mdlCommon::DbConnection().Execute(
            QStringLiteral("Select MailID From Users.txt Where UserName=? And Password=?"), {userName_, password_});
        if (!r.rows.isEmpty())
            found = r.rows.first().value(0);
    } catch (const Failure& f) {
        mdlCommon::Report(QStringLiteral("Login of %1 failed: %2").arg(userName_, QString::fromUtf8(f.text())));
    }
    SetMailID(found);
}

void Connecter::SetMailID(const QString& NewMailID)
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

void Connecter::ScanMailbox()
{
    mailFiles_.clear();
    mailCount_ = 0;
    mailSize_ = 0;
    listFolder_ = mailFolder_;
    // Only names ending in "eml" are looked at more closely; ascending names are arrival order.
    struct Found {
        QByteArray name;
        qint64 size;
    };
    std::vector<Found> found;
    ForEachEntry(mailFolder_, "eml", [&](int dfd, const char* name) {
        struct stat st {};
        if (::fstatat(dfd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
            found.push_back(Found{QByteArray(name), qint64(st.st_size)});
    });
    std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) { return a.name < b.name; });
    for (const Found& f : found) {
        mailFiles_ << QFile::decodeName(f.name);
        ++mailCount_;
        mailSize_ += f.size;
    }
}

int Connecter::MessageNumber(const QByteArray& data) const
{
    const QByteArray arg = TextHelper::TextBetween(data, " ", "\r\n").trimmed();
    bool ok = false;
    const qlonglong n = arg.toLongLong(&ok);
    if (!ok)
        throw Failure(Err::TypeMismatch, QStringLiteral("Type mismatch (message number expected)"));
    if (n < -32768 || n > 32767)
        throw Failure(Err::Overflow, QStringLiteral("Overflow (message number)"));
    if (n < 1 || n > mailFiles_.size())
        throw Failure(Err::OutOfRange, QStringLiteral("Subscript out of range (no message %1)").arg(n));
    return int(n);
}

QByteArray Connecter::GetSTAT()
{
    if (mailId_.isEmpty())
        return "+OK 0 0";
    return "+OK " + Num(mailCount_) + ' ' + Num(mailSize_);
}

QByteArray Connecter::GetLIST()
{
    if (mailId_.isEmpty())
        return "+OK 0 0\r\n.";
    try {
        QByteArray r = "+OK " + Num(mailCount_) + ' ' + Num(mailSize_) + "\r\n";
        for (int i = 1; i <= mailFiles_.size(); ++i) {
            const QString& name = mailFiles_[i - 1];
            if (name.endsWith(QLatin1String("eml")))
                r += Num(i) + ' ' + Num(SizeOf(PathOf(i), name)) + "\r\n";
        }
        return r + '.';
    } catch (const Failure& f) {
        return FailureReply(f);
    }
}

QByteArray Connecter::GetUIDL()
{
    if (mailId_.isEmpty())
        return "+OK 0 0\r\n.";
    QByteArray r = "+OK uidl command accepted.\r\n";
    for (int i = 1; i <= mailFiles_.size(); ++i)
        r += Num(i) + ' ' + mailFiles_[i - 1].left(15).toUtf8() + "\r\n";
    return r + '.';
}

QByteArray Connecter::GetRETR(const QByteArray& data)
{
    try {
        const int n = MessageNumber(data);
        const QString& name = mailFiles_[n - 1];
        const QByteArray path = QFile::encodeName(PathOf(n));
        const int fd = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            throw FailureFromErrno(errno, name);
        struct stat st {};
        if (::fstat(fd, &st) != 0) {
            const int err = errno;
            ::close(fd);
            throw FailureFromErrno(err, name);
        }
        const QByteArray head = "+OK " + Num(st.st_size) + " octets\r\n";
        QByteArray reply(head.size() + st.st_size + 1, Qt::Uninitialized);
        memcpy(reply.data(), head.constData(), size_t(head.size()));
        qsizetype got = 0;
        while (got < st.st_size) {
            const ssize_t r = ::read(fd, reply.data() + head.size() + got, size_t(st.st_size - got));
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) break;
            got += r;
        }
        ::close(fd);
        reply.truncate(head.size() + got);   // a file that shrank meanwhile sends what is there
        reply += '.';
        return reply;
    } catch (const Failure& f) {
        return FailureReply(f);
    }
}

QByteArray Connecter::GetDELE(const QByteArray& data)
{
    if (mailId_.isEmpty())
        return "+OK ";
    try {
        const int n = MessageNumber(data);
        QString& name = mailFiles_[n - 1];
        if (!name.endsWith(QLatin1String("eml")))
            throw Failure(Err::OutOfRange, QStringLiteral("Message %1 is already deleted").arg(n));
        const QString marked = WithExtension(name, "del");
        Rename(listFolder_, name, marked);
        name = marked;
        --mailCount_;
        mailSize_ -= SizeOf(PathOf(n), name);
        return "+OK Deleted success.";
    } catch (const Failure& f) {
        return FailureReply(f);
    }
}

QByteArray Connecter::GetRSET()
{
    int count = 0;
    try {
        for (int i = 1; i <= mailFiles_.size(); ++i) {
            QString& name = mailFiles_[i - 1];
            if (!name.endsWith(QLatin1String("del")))
                continue;
            const QString unmarked = WithExtension(name, "eml");
            Rename(listFolder_, name, unmarked);
            name = unmarked;
            ++mailCount_;
            mailSize_ += SizeOf(PathOf(i), name);
            ++count;
        }
    } catch (const Failure& f) {
        return FailureReply(f);
    }
    return "+OK Reset file count " + Num(count);
}

void Connecter::Purge()
{
    if (mailFolder_.isEmpty())
        return;
    ForEachEntry(mailFolder_, ".del", [](int dfd, const char* name) {
        struct stat st {};
        if (::fstatat(dfd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) && (st.st_mode & S_IWUSR))
            ::unlinkat(dfd, name, 0);   // read-only files stay
    });
}
