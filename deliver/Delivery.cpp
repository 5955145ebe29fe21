// The delivery of one accepted message, as an ordered list of steps.
#include "deliver/Delivery.h"
#include "core/Budget.h"
#include "core/Failure.h"
#include "core/Server.h"
#include "core/TextHelper.h"
#include "deliver/Identity.h"
#include "store/Aliases.h"
#include "store/Recipient.h"

#include <QDateTime>
#include <QFileInfo>
#include <QSet>
#include <algorithm>
#include <cstring>

namespace {

// A peer's words in our own header line.
QByteArray Clean(const QByteArray& text) { return TextHelper::Printable(text, 256, false); }

using Next = Step::Next;
using D = std::shared_ptr<Delivery>;

// Received: lines in the head of a message, each one relay it passed.
int Hops(const QByteArray& text)
{
    int hops = 0;
    for (qsizetype pos = 0; pos < text.size() && !text.mid(pos, 2).startsWith("\r\n");) {
        if (text.mid(pos, 9).compare("Received:", Qt::CaseInsensitive) == 0 && ++hops > MaxHops)
            break;
        const qsizetype lf = text.indexOf('\n', pos);
        pos = lf < 0 ? text.size() : lf + 1;
    }
    return hops;
}

// A CR or LF that is not part of a CR LF pair: a receiver that takes one for a line end
// could be made to see a second, forged message.
bool BareLineEnd(const QByteArray& text)
{
    const char* p = text.constData();
    const char* end = p + text.size();
    for (const char* q = p; q < end; ++q) {
        q = static_cast<const char*>(memchr(q, '\n', size_t(end - q)));
        if (!q) break;
        if (q == p || q[-1] != '\r') return true;
    }
    for (const char* q = p; q < end; ++q) {
        q = static_cast<const char*>(memchr(q, '\r', size_t(end - q)));
        if (!q) break;
        if (q + 1 == end || q[1] != '\n') return true;
    }
    return false;
}

QByteArray Received(const Envelope& m, const QByteArray& host, const QByteArray& rcpt, const QByteArray& when)
{
    QByteArray from = m.helo.isEmpty() ? QByteArray("unknown") : Clean(m.helo);
    if (!m.client.isEmpty())
        from += " ([" + m.client + "])";
    return "Received: from " + from + "\r\n\tby " + host + " with " + (m.esmtp ? "ESMTP" : "SMTP") + "\r\n\tfor <" + Clean(rcpt)
           + ">; " + when + "\r\n";
}

// A message in a relay loop, or with line ends another receiver could misread, goes no further.
void Inspect(const D& d, const Next& next)
{
    if (Hops(d->m.text) > MaxHops)
        d->Refuse("554 5.4.6 Too many hops");
    else if (BareLineEnd(d->m.text))
        d->Refuse("554 5.5.2 Bare CR or LF not allowed");
    next();
}

// A client that logged in writes as itself: every mailbox of its From: fields is its account's,
// or the signature would vouch for a forgery.
void Owned(const D& d, const Next& next)
{
    if (d->m.user.isEmpty())
        return next();
    for (const QByteArray& value : Identity::FieldValues(d->m.text, "From")) {
        QList<QByteArray> mailboxes;
        const bool readable = Identity::Mailboxes(value, mailboxes);
        if (!readable || std::any_of(mailboxes.begin(), mailboxes.end(), [&](const QByteArray& a) { return !Aliases::Owns(d->m.user, a); })) {
            const QByteArray reply = "553 5.7.1 Sender address not owned by user";
            d->Refuse(reply, "-Refused: " + reply + " (From: " + TextHelper::Printable(value.trimmed(), 256, true) + ")");
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
        d->m.text.prepend(Identity::MissingFields(d->m.text, d->server.LocalHostName(d->m.index)));
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
    for (qsizetype i = 0; i < d->m.recipients.size(); ++i) {
        const QByteArray& address = d->m.recipients[i];
        Recipient r = i < d->m.classified.size() ? d->m.classified[i] : Classify(address);
        if (const QFileInfo folder(r.folder); !r.folder.isEmpty() && (folder.isSymLink() || !folder.isDir()))
            r.folder.clear();   // gone since it was found, or no longer a folder of the store
        if (!r.local) {
            const QString key = QString::fromUtf8(address).toLower();
            if (!seen.contains(key))
                d->relay.copies.push_back({address, {}, trace ? Received(d->m, host, address, when) : QByteArray()});
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
        const QByteArray head = "Return-Path: <" + Clean(d->m.sender) + ">\r\n" + (trace ? Received(d->m, host, address, when) : QByteArray());
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
