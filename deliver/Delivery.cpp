// The delivery of one accepted message, as an ordered list of steps.
#include "deliver/Delivery.h"
#include "core/Access.h"
#include "core/Budget.h"
#include "core/Failure.h"
#include "core/Server.h"
#include "core/TextHelper.h"
#include "check/Checks.h"
#include "core/mdlCommon.h"
#include "dkim/Dkim.h"
#include "deliver/Identity.h"
#include "milter/MilterClient.h"
#include "store/Aliases.h"
#include "store/MailStore.h"
#include "store/Recipient.h"

#include <QDateTime>
#include <QFileInfo>
#include <QSet>
#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>

namespace {

RelayTarget* Relay = nullptr;

// A peer's words in our own header line.
QByteArray Clean(const QByteArray& text) { return TextHelper::Printable(text, TextHelper::ShownValue, false); }

// A message on its way.
struct Delivery {
    Server& server;
    Envelope m;
    std::function<void(const Outcome&)> done;
    std::vector<MailStore::NewCopy> local;   // the head: trace headers of the copy
    std::vector<QByteArray> localTo;         // whom each is for
    std::vector<RelayTarget::Copy> foreign;
    std::optional<RelayTarget::Written> relayed;
    Outcome outcome;
    std::optional<Failure> failure;
    QByteArray failedAddress;

    QByteArray Prefix() const { return QByteArray::number(m.index); }
    void Log(const QByteArray& line) { if (m.index >= 0) server.Log(Prefix() + line); }
    // The same for a notice, which has no connection.
    void LogAny(const QByteArray& line) { server.Log((m.index >= 0 ? Prefix() : QByteArray("Notice")) + line); }
    void Refuse(const QByteArray& reply, const QByteArray& why = {})
    {
        outcome.refusal = reply;
        Log(why.isEmpty() ? "-Refused: " + reply : why);
    }
};
using Next = std::function<void()>;
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
        if (!readable || std::any_of(mailboxes.begin(), mailboxes.end(), [&](const QByteArray& a) { return !Aliases::Owns(d->server.Config(), d->m.user, a); })) {
            const QByteArray reply = "553 5.7.1 Sender address not owned by user";
            d->Refuse(reply, "-Refused: " + reply + " (From: " + TextHelper::Printable(value.trimmed(), TextHelper::ShownValue, true) + ")");
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

// Mail from outside is checked (SPF, DKIM, DMARC) and says so in an Authentication-Results
// header under the trace line; a DMARC reject policy that failed refuses it. The answers
// are waited for off the event thread.
void Check(const D& d, const Next& next)
{
    const Envelope& m = d->m;
    if (!Checks::Applies(d->server.Config(), m.origin == Envelope::Origin::Smtp, m.user, m.client))
        return next();
    auto verdict = std::make_shared<Checks::Verdict>();
    const std::shared_ptr<void> held = Budget::Hold(m.text.size());   // the text is copied once more
    d->server.Lookup(
        [d, verdict, held] {
            const Settings& settings = d->server.Config();
            const QByteArray id = settings.HostName.toUtf8();
            const auto dns = Checks::Bounded(Dns::MakeResolver(settings.DnsServer), Checks::TimeLimitMs);
            const Checks::Input in{Checks::ClientAddress(d->m.client), d->m.sender, d->m.helo, d->m.spf};
            *verdict = Checks::Run(settings, *dns, in, d->m.text, id, QDateTime::currentSecsSinceEpoch());
            if (verdict->refusal.isEmpty())
                d->m.text = verdict->header + Checks::WithoutOurResults(d->m.text, id);
        },
        [d, verdict, next] {
            for (const QByteArray& line : verdict->log)
                d->Log(line);
            if (!verdict->refusal.isEmpty())
                d->Refuse(verdict->refusal);
            next();
        });
}

// The operator's filters see mail from outside before it is classified or signed, so that
// the recipients they leave are the ones served and a signature covers the text they leave.
// Their sockets are waited on off the event thread.
void Milter(const D& d, const Next& next)
{
    if (!Milters::Applies(d->server.Config(), d->m))
        return next();
    auto verdict = std::make_shared<Milters::Verdict>();
    const std::shared_ptr<void> held = Budget::Hold(2 * d->m.text.size());   // each filter's copy and its packets
    d->server.Lookup([d, verdict, held] { *verdict = Milters::Run(d->server.Config(), d->m); },
                     [d, verdict, next] {
                         for (qsizetype i = 0; i < verdict->log.size(); ++i)
                             if (i + 1 < verdict->log.size() || verdict->refusal.isEmpty()) d->Log("-" + verdict->log[i]);
                         if (!verdict->refusal.isEmpty())
                             d->Refuse(verdict->refusal, "-" + verdict->log.last());
                         else if (verdict->discarded)
                             d->m.recipients.clear(), d->m.classified.clear();   // a 250, and no copy
                         next();
                     });
}

// Each recipient once: a mailbox copy with its trace headers, or a foreign copy. One copy per
// mailbox and per foreign address, however often named.
void Classify(const D& d, const Next& next)
{
    const QByteArray host = d->server.LocalHostName(d->m.index);
    const bool trace = d->m.origin == Envelope::Origin::Smtp;
    // One moment for every copy: relayed copies that differ only in their recipient share a transaction.
    const QByteArray when = QDateTime::currentDateTime().toString(Qt::RFC2822Date).toLatin1();
    QSet<QString> seen;
    for (qsizetype i = 0; i < d->m.recipients.size(); ++i) {
        const QByteArray& address = d->m.recipients[i];
        Recipient r = i < d->m.classified.size() ? d->m.classified[i] : Classify(d->server.Config(), address);
        if (const QFileInfo folder(r.folder); !r.folder.isEmpty() && (folder.isSymLink() || !folder.isDir()))
            r.folder.clear();   // gone since it was found, or no longer a folder of the store
        if (!r.local) {
            const QString key = QString::fromUtf8(address).toLower();
            if (!seen.contains(key))
                d->foreign.push_back({address, trace ? Received(d->m, host, address, when) : QByteArray()});
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
        d->local.push_back({r.folder, head, {}});
        d->localTo.push_back(address);
    }
    next();
}

// Mail from the served domain by a client we trust, and our own notices, leave signed. The
// signature goes on top of the text, below the trace headers each copy gets. The body is
// hashed off the event thread: a large one takes a while.
void Sign(const D& d, const Next& next)
{
    const Envelope& m = d->m;
    if (!Dkim::Enabled() || (d->local.empty() && d->foreign.empty()))
        return next();
    const bool notice = m.origin == Envelope::Origin::Notice;
    if (!notice && m.user.isEmpty() && !Access::MayRelay(d->server.Config(), m.client))
        return next();
    const bool senderOurs = notice || Dkim::Served(Dkim::AddressDomain(m.sender));
    auto made = std::make_shared<Dkim::Signature>();
    const std::shared_ptr<void> held = Budget::Hold(m.text.size());   // the text is copied once more
    d->server.Offload(
        [d, made, senderOurs, held] {
            *made = Dkim::Sign(d->m.text, QDateTime::currentSecsSinceEpoch(), senderOurs);
            if (!made->header.isEmpty())
                d->m.text.prepend(made->header);
        },
        [d, made, next] {
            if (!made->header.isEmpty())
                d->LogAny("-DKIM signed " + made->summary);
            else if (!made->error.isEmpty())
                d->LogAny("-DKIM not signed: " + made->error);
            next();
        });
}

// Every copy and the relay entry are on disk before the completion, or none is. The files
// are written and flushed off the event thread.
void Write(const D& d, const Next& next)
{
    if (d->local.empty() && d->foreign.empty())
        return next();
    if (!d->foreign.empty() && !Relay) {
        d->failure = Failure(Err::DeviceIO, QStringLiteral("no relay queue"));
        d->failedAddress = d->foreign.front().to;
        return next();
    }
    const std::shared_ptr<void> held = Budget::Hold(d->m.text.size());
    d->server.Offload(
        [d, held] {
            size_t failed = 0;
            try {
                MailStore::StoreAll(d->local, d->m.text, failed);
            } catch (const Failure& f) {
                d->failure = f;
                d->failedAddress = d->localTo[failed];
            }
            if (!d->failure && !d->foreign.empty()) {
                try {
                    d->relayed = Relay->Write(d->m.sender, d->foreign, d->m.text);
                } catch (const Failure& f) {
                    d->failure = f;
                    d->failedAddress = d->foreign.front().to;
                }
            }
            if (d->failure)   // all copies or none: the sender will try again
                for (const MailStore::NewCopy& c : d->local)
                    if (!c.stored.isEmpty()) MailStore::Discard(c.folder, c.stored);
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
    d->outcome.stored = int(d->local.size());
    d->outcome.queued = int(d->foreign.size());
    if (d->relayed && d->relayed->commit)
        d->relayed->commit();
    next();
}

using Step = void (*)(const D&, const Next&);
// Every delivery, in order; a refusal ends it where it is.
const Step Steps[] = {Inspect, Check, Owned, Complete, Milter, Classify, Sign, Write, Commit};

void Run(const D& d, size_t step)
{
    if (step == std::size(Steps) || !d->outcome.refusal.isEmpty()) {
        auto done = std::move(d->done);
        if (done)
            done(d->outcome);
        return;
    }
    Steps[step](d, [d, step] { Run(d, step + 1); });
}

}

void SetRelayTarget(RelayTarget* target) { Relay = target; }

void Deliver(Server& server, Envelope message, std::function<void(const Outcome&)> done)
{
    auto d = std::make_shared<Delivery>(Delivery{server, std::move(message), std::move(done), {}, {}, {}, {}, {}, {}, {}});
    Run(d, 0);
}
