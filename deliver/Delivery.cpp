// The delivery of one accepted message, as an ordered list of steps.
#include "deliver/Delivery.h"
#include "core/Budget.h"
#include "core/Failure.h"
#include "core/Server.h"
#include "core/TextHelper.h"
#include "mail/AddressList.h"
#include "mail/Trace.h"
#include "store/Aliases.h"
#include "store/Folders.h"
#include "store/Recipient.h"

#include <QDateTime>
#include <QFileInfo>
#include <QSet>
#include <algorithm>

namespace {

// A peer's words in our own header line; UTF-8 stays, as SMTPUTF8 mail carries it (RFC 6532 3.7).
QByteArray Clean(const QByteArray& text)
{
    QByteArray out = TextHelper::Printable(text, TextHelper::ShownValue, false);
    if (QString::fromUtf8(text).toUtf8() == text)
        for (qsizetype i = 0; i < out.size(); ++i)
            if (uchar(text[i]) >= 0x80)
                out[i] = text[i];
    return out;
}

// Mail the checks or a filter marked as spam.
bool Spam(const QByteArray& text)
{
    const QList<QByteArray> flags = Mail::Header(text).Values("X-Spam-Flag");
    return std::any_of(flags.begin(), flags.end(), [](const QByteArray& v) { return v.trimmed().compare("YES", Qt::CaseInsensitive) == 0; });
}

// The Junk folder of a mailbox; the mailbox itself when Junk cannot be made, so the mail still arrives.
QString Junk(const QString& mailbox)
{
    try {
        return Folders::JunkPath(mailbox);
    } catch (const Failure&) {
        return mailbox;
    }
}

using Next = Step::Next;
using D = std::shared_ptr<Delivery>;

Mail::Hop HopOf(const Envelope& m, const QByteArray& host) { return {Clean(m.helo), m.client, m.esmtp, host, m.tls, !m.user.isEmpty()}; }

// A message in a relay loop, or with line ends another receiver could misread, goes no further.
void Inspect(const D& d, const Next& next)
{
    if (Mail::Header(d->m.text).Hops() > MaxHops)
        d->Refuse("554 5.4.6 Too many hops");
    else if (Mail::BareLineEnd(d->m.text))
        d->Refuse("554 5.5.2 Bare CR or LF not allowed");
    next();
}

// A client that logged in writes as itself: every mailbox of the fields that name the author or
// sender is its account's, or the signature would vouch for a forgery.
void Owned(const D& d, const Next& next)
{
    if (d->m.user.isEmpty())
        return next();
    const Mail::Header header(d->m.text);
    for (const char* field : {"From", "Sender", "Resent-From", "Resent-Sender"})
        for (const QByteArray& value : header.Values(field)) {
            const Mail::AddressList list = Mail::AddressList::Parse(value);
            if (!list.readable || std::any_of(list.addresses.begin(), list.addresses.end(), [&](const QByteArray& a) { return !Aliases::Owns(d->server.Config(), d->m.user, a); })) {
                const QByteArray reply = "553 5.7.1 Sender address not owned by user";
                d->Refuse(reply, "-Refused: " + reply + " (" + field + ": " + TextHelper::Printable(value.trimmed(), TextHelper::ShownValue, true) + ")");
                return next();
            }
        }
    next();
}

// Submitted mail gets the Date and Message-ID it lacks (RFC 6409 8.2, 8.3), before it is
// signed, so the signature covers them.
void Complete(const D& d, const Next& next)
{
    if (d->m.submitted)
        d->m.text.prepend(Mail::MissingFields(Mail::Header(d->m.text), d->server.LocalHostName(d->m.index)));
    next();
}

// Each recipient once: a mailbox copy with its trace headers, or a foreign copy. One copy per
// mailbox and per foreign address, however often named.
void ClassifyAll(const D& d, Target& mailboxes, Target* relay, const Next& next)
{
    d->mailboxes.target = &mailboxes;
    d->relay.target = relay;
    const QByteArray host = d->server.LocalHostName(d->m.index);
    const bool trace = d->m.origin == Envelope::Origin::Smtp;
    // One moment for every copy: relayed copies that differ only in their recipient share a transaction.
    const QByteArray when = QDateTime::currentDateTime().toString(Qt::RFC2822Date).toLatin1();
    QSet<QString> seen;
    const bool junk = d->server.Config().QuarantineToJunk && Spam(d->m.text);
    for (qsizetype i = 0; i < d->m.recipients.size(); ++i) {
        const QByteArray& address = d->m.recipients[i];
        Recipient r = i < d->m.classified.size() ? d->m.classified[i] : Classify(d->server.Config(), address);
        if (const QFileInfo folder(r.folder); !r.folder.isEmpty() && (folder.isSymLink() || !folder.isDir()))
            r.folder.clear();   // gone since it was found, or no longer a folder of the store
        if (!r.local) {
            const QString key = QString::fromUtf8(address).toLower();
            if (!seen.contains(key))
                d->relay.copies.push_back({address, {}, trace ? Mail::Received(HopOf(d->m, host), Clean(address), when) : QByteArray()});
            seen.insert(key);
            continue;
        }
        if (r.folder.isEmpty()) {
            ++d->outcome.noMailbox;
            d->Log("-NoMailbox " + address);
            continue;
        }
        if (seen.contains(r.folder))
            continue;
        seen.insert(r.folder);
        if (junk)
            r.folder = Junk(r.folder);
        const QByteArray head = Mail::ReturnPath(Clean(d->m.sender)) + (trace ? Mail::Received(HopOf(d->m, host), Clean(address), when) : QByteArray());
        d->mailboxes.copies.push_back({address, r.folder, head});
    }
    next();
}

// Writes one target's copies; false when it failed.
bool WriteBatch(Delivery& d, Delivery::Batch& b)
{
    if (b.copies.empty())
        return true;
    size_t failed = 0;
    try {
        b.written = b.target->Write(d.m.sender, b.copies, d.m.text, failed);
        b.wrote = true;
    } catch (const Failure& f) {
        d.failure = f;
        d.failedAddress = b.copies[failed].to;
    }
    return b.wrote;
}

// Every copy and the relay entry are on disk before the completion, or none is. The files
// are written and flushed off the event thread.
void Write(const D& d, const Next& next)
{
    if (!d->HasCopies())
        return next();
    if (!d->relay.copies.empty() && !d->relay.target) {
        d->failure = Failure(Err::DeviceIO, QStringLiteral("no relay queue"));
        d->failedAddress = d->relay.copies.front().to;
        return next();
    }
    const std::shared_ptr<void> held = Budget::Hold(d->m.text.size());
    d->server.Offload(
        [d, held] {
            if (WriteBatch(*d, d->mailboxes) && WriteBatch(*d, d->relay))
                return;
            for (Delivery::Batch* b : {&d->mailboxes, &d->relay})   // all copies or none: the sender will try again
                if (b->wrote) b->target->Abort(b->written);
        },
        next);
}

// The copies are safe: the relay target may begin, and the sender hears of it.
void Commit(const D& d, const Next& next)
{
    if (const auto& f = d->failure) {
        d->outcome.failure = f->text();
        d->Refuse(f->number == Err::DiskFull ? QByteArray("452 4.3.1 Insufficient system storage")
                                             : QByteArray("451 4.3.0 Local error: the message could not be stored"),
                  "-StoreError " + d->failedAddress + ' ' + f->text());
        return next();
    }
    d->outcome.stored = int(d->mailboxes.copies.size());
    d->outcome.queued = int(d->relay.copies.size());
    for (Delivery::Batch* b : {&d->mailboxes, &d->relay})
        if (b->wrote) b->target->Commit(b->written);
    next();
}

// A step that is one of the functions above.
class Plain : public Step {
public:
    explicit Plain(std::function<void(const D&, const Next&)> f) : f_(std::move(f)) {}
    void Run(const D& d, const Next& next) const override { f_(d, next); }

private:
    std::function<void(const D&, const Next&)> f_;
};

void Run(const D& d, std::shared_ptr<const StepList> steps, size_t step)
{
    if (step == steps->size() || !d->outcome.refusal.isEmpty()) {
        auto done = std::move(d->done);
        if (done)
            done(d->outcome);
        return;
    }
    const Step& now = *(*steps)[step];
    now.Run(d, [d, steps = std::move(steps), step] { Run(d, steps, step + 1); });
}

}

void Delivery::Log(const QByteArray& line) const
{
    if (m.index >= 0) server.Log(QByteArray::number(m.index) + line);
}

void Delivery::LogAny(const QByteArray& line) const { server.Log((m.index >= 0 ? QByteArray::number(m.index) : QByteArray("Notice")) + line); }

void Delivery::Refuse(const QByteArray& reply, const QByteArray& why)
{
    outcome.refusal = reply;
    Log(why.isEmpty() ? "-Refused: " + reply : why);
}

namespace Steps {
std::shared_ptr<const Step> Inspect() { return std::make_shared<Plain>(::Inspect); }
std::shared_ptr<const Step> Owned() { return std::make_shared<Plain>(::Owned); }
std::shared_ptr<const Step> Complete() { return std::make_shared<Plain>(::Complete); }
std::shared_ptr<const Step> Classify(Target& mailboxes, Target* relay)
{
    return std::make_shared<Plain>([&mailboxes, relay](const D& d, const Next& next) { ClassifyAll(d, mailboxes, relay, next); });
}
std::shared_ptr<const Step> Write() { return std::make_shared<Plain>(::Write); }
std::shared_ptr<const Step> Commit() { return std::make_shared<Plain>(::Commit); }
}

void Deliver(Server& server, const StepList& steps, Envelope message, std::function<void(const Outcome&)> done)
{
    auto d = std::make_shared<Delivery>(Delivery{server, std::move(message), std::move(done), {}, {}, {}, {}, {}});
    Run(d, std::make_shared<const StepList>(steps), 0);
}
