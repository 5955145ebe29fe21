#include "smtp/SmtpSession.h"
#include "core/Failure.h"
#include "core/Server.h"
#include "core/TextHelper.h"
#include "core/mdlCommon.h"

#include <algorithm>
#include <cctype>
#include <span>

namespace {

const QByteArray BadSyntax = "501 5.1.3 Bad address syntax";
const QByteArray NotOffered = "555 5.5.4 Unsupported parameter";

// MAIL's parameters of the extensions the EHLO reply offers; RCPT has none.
const QByteArrayView MailParameters[] = {"SIZE", "BODY", "AUTH", "SMTPUTF8"};

// Whether every parameter after the address is one of `offered` (RFC 5321 4.1.2, 4.1.4).
bool OnlyOffered(const QByteArray& data, std::span<const QByteArrayView> offered)
{
    const QList<QByteArray> words = data.mid(data.indexOf('>', data.indexOf('<')) + 1).simplified().split(' ');
    return std::all_of(words.begin(), words.end(), [&](const QByteArray& word) {
        const QByteArray keyword = word.split('=').first().toUpper();
        return word.isEmpty() || std::find(offered.begin(), offered.end(), keyword) != offered.end();
    });
}

}

QByteArray SmtpSession::GetMAIL(const QByteArray& data)
{
    try {
        const QByteArray address = TextHelper::TextBetween(data, "<", ">");
        if (BadAddress(address))
            return BadSyntax;
        if (!OnlyOffered(data, MailParameters))
            return NotOffered;
        Tx.From = address;
        // Room for the whole text at once: grown step by step it is copied each time, and the
        // memory of the copies stays with the process.
        const qsizetype size = data.toUpper().indexOf(" SIZE=");
        Tx.DeclaredSize = size < 0 ? 0 : data.mid(size + 6).split(' ').first().trimmed().toLongLong();
        // A message we would refuse at its end is refused before it is sent (RFC 1870).
        if (Tx.DeclaredSize > MaxMessageSize) {
            Tx.From.clear();
            Tx.DeclaredSize = 0;
            return "552 5.3.4 Message size exceeds fixed maximum message size";
        }
        return "250 OK";
    } catch (const Failure& f) {
        return "500 Syntax error;" + f.text();
    }
}

QByteArray SmtpSession::GetRCPT(const QByteArray& data)
{
    try {
        const QByteArray address = TextHelper::TextBetween(data, "<", ">");
        if (BadAddress(address))
            return BadSyntax;
        if (!OnlyOffered(data, {}))
            return NotOffered;
        Tx.Recipients << address;
        return "250 OK";
    } catch (const Failure& f) {
        return "500 Syntax error;" + f.text();
    }
}

Transaction Transaction::Following() const
{
    Transaction next;
    next.From = From;
    next.DeclaredSize = DeclaredSize;
    return next;
}

int SmtpSession::IdleSeconds(int, const Settings& settings) const { return Delivering ? 0 : settings.SmtpTimeout; }

// The whole text, from DATA to the final line, within SmtpDataTimeout (RFC 5321 4.5.3.2).
int SmtpSession::StepSeconds(int step, const Settings& settings) const
{
    return step == int(SmtpStep::Text) ? settings.SmtpDataTimeout : 0;
}

void SmtpSession::TimedOut(Server& server, qint16 index, qint64)
{
    if (Connecter* c = server.Session(index))
        c->SetStep(Closing);
    server.SendReply(index, "421 4.4.2 Timeout");
}

void SmtpSession::Stepping(int, int to)
{
    if (to == int(SmtpStep::Text)) {
        Tx.Text.clear();
        TextScanned = 0;
        Oversized = false;
        OverBudget = false;
    }
}

namespace {
// A mechanism name as a client writes it (RFC 4422: up to 20 of A-Z, 0-9, "-", "_"), which
// the log may show; a word of another shape after AUTH may be a login itself.
bool MechanismShaped(const QByteArray& word)
{
    return !word.isEmpty() && word.size() <= 20
           && std::all_of(word.begin(), word.end(), [](char ch) { return std::isupper(uchar(ch)) || std::isdigit(uchar(ch)) || ch == '-' || ch == '_'; });
}
}

int SmtpSession::AnswersOwed() const { return Auth.isEmpty() ? 0 : Auth == "LOGIN" && AuthUser.isNull() ? 2 : 1; }

// No password or AUTH answer reaches the log, however it is spelt, packed or padded. Every
// line is read every way the dialogue might read it: as a command or as the answer an AUTH
// exchange waits for, message text included (a refused DATA makes commands of it, and
// commands may follow the end of a message in the same buffer); a line masked in one
// reading is masked, and the answers owed after it are the most any reading owes.
QByteArray SmtpSession::Masked(const QByteArray& buffer, int) const
{
    // Input waiting in Pending has not been read yet: the exchange is where its lines left it.
    // A refused AUTH owes nothing, but its client may still send the answers it meant to give.
    int owed = Pending.isEmpty() ? std::max(AnswersOwed(), maskOwed_) : maskOwed_;
    const QByteArray masked = TextHelper::ReplaceLines(buffer, [&owed](QByteArrayView line) {
        QByteArray instead;
        int next = 0;
        if (owed > 0) {
            instead = "********" + TextHelper::LineEnd(line);
            // A line too long is refused before the exchange sees it (its bare LF is read as
            // CR LF, one byte more); "*" cancels the exchange.
            const qsizetype read = line.size() + (line.endsWith('\n') && !line.endsWith("\r\n") ? 1 : 0);
            next = read > MaxCommandLine ? owed : line.trimmed() == "*" ? 0 : owed - 1;
        }
        if (const qsizetype at = TextHelper::WordAt(line, "AUTH"); at >= 0) {
            const QList<QByteArray> words = line.toByteArray().simplified().split(' ');
            const QByteArray mechanism = words.value(1).toUpper();
            const bool login = mechanism == "LOGIN" || mechanism == "LONGIN";
            const bool known = login || mechanism == "PLAIN" || mechanism == "CRAM-MD5";
            next = std::max(next, words.size() > 2 ? (login || mechanism == "CRAM-MD5" ? 1 : 0) : login ? 2 : known ? 1 : 0);
            if (instead.isNull())
                instead = TextHelper::KeepWords(line, known || MechanismShaped(words.value(1)) ? 2 : 1);
        } else if (const qsizetype pass = TextHelper::WordAt(line, "PASS"); pass >= 0 && instead.isNull()) {
            instead = TextHelper::HiddenFrom(line, pass + 4);
        }
        owed = next;
        return instead;
    });
    maskOwed_ = owed;
    return masked;
}
