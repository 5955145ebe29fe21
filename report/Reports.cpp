#include "report/Reports.h"
#include "check/Checks.h"
#include "core/DurableFile.h"
#include "core/Failure.h"
#include "core/Server.h"
#include "core/Settings.h"
#include "core/mdlCommon.h"
#include "deliver/Delivery.h"
#include "report/Formats.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QPointer>
#include <QThread>

namespace Report {

namespace {

Header HeaderOf(const QByteArray& kind, const QByteArray& domain, const Period& p, const QByteArray& org, const QByteArray& contact)
{
    return {org, contact, QByteArray::number(p.begin) + '.' + kind + '.' + domain + '@' + org, p.begin, p.end};
}

}

std::vector<Outgoing> Prepare(const Period& period, Dns::Resolver& dns, const QByteArray& org, const QByteArray& contact,
                              std::vector<QByteArray>& log)
{
    std::vector<Outgoing> out;
    for (const auto& [domain, rows] : period.tls) {
        const QByteArray what = "TLS report for " + domain;
        const Header h = HeaderOf("tls", domain, period, org, contact);
        const QByteArray gz = Gzip(TlsJson(domain, rows, h));
        const QList<QByteArray> to = Mailboxes(TlsRua(dns.Query("_smtp._tls." + domain, Dns::Type::Txt).records), gz.size());
        if (to.isEmpty())
            log.push_back(what + ": no mailto: address in a TLSRPTv1 record at _smtp._tls." + domain);
        else
            out.push_back({contact, to, Message(Kind::Tls, domain, h, to, gz), what});
    }
    for (const auto& [domain, rows] : period.dmarc) {
        const QByteArray what = "DMARC report for " + domain;
        const Header h = HeaderOf("dmarc", domain, period, org, contact);
        const QByteArray gz = Gzip(DmarcXml(domain, rows, h));
        QList<QByteArray> uris;
        for (const QJsonValue& uri : rows.head[QStringLiteral("rua")].toArray())
            uris << uri.toString().toUtf8();
        QList<QByteArray> to;
        for (const QByteArray& address : Mailboxes(uris, gz.size())) {
            if (Authorized(dns, domain, address))
                to << address;
            else
                log.push_back(what + " not sent to <" + address + ">: its domain does not publish " + domain + "._report._dmarc");
        }
        if (to.isEmpty())
            log.push_back(what + ": no address to send it to");
        else
            out.push_back({contact, to, Message(Kind::Dmarc, domain, h, to, gz), what});
    }
    return out;
}

}

Reports::Reports(StepList steps) : steps_(std::move(steps)) {}

Reports::~Reports()
{
    SetTlsOutcomeSink({});
    SetDmarcSink({});
    constexpr int StepMs = 50, Steps = 100;   // a save under way gets 5 s to end
    for (int i = 0; *writing_ && i < Steps; ++i)
        QThread::msleep(StepMs);
    if (dirty_ && server_) {
        try {
            DurableFile::Replace(File(), State(), true);
        } catch (const Failure&) {
        }
    }
}

QString Reports::File() { return mdlCommon::ProgramFolder() + QStringLiteral("/Reports.json"); }

void Reports::Start(Server& server)
{
    if (!server.Config().Reports)
        return;
    server_ = &server;
    QFile file(File());
    const QJsonObject saved = file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll()).object() : QJsonObject();
    if (file.isOpen() && saved.isEmpty())
        Log("Reports.json could not be read: the report counts begin afresh");
    open_ = Report::Period::FromJson(saved[QStringLiteral("open")].toObject());
    sending_ = Report::Period::FromJson(saved[QStringLiteral("sending")].toObject());
    if (open_.begin <= 0) {
        open_.begin = QDateTime::currentSecsSinceEpoch();
        dirty_ = true;
    }
    SetTlsOutcomeSink([this](const TlsOutcome& o) { dirty_ = Report::Count(open_, o) || dirty_; });
    SetDmarcSink([this](const DmarcFacts& f) { dirty_ = Report::Count(open_, f) || dirty_; });
    connect(&tick_, &QTimer::timeout, this, &Reports::Tick);
    tick_.start(TickMs);
    Tick();
}

void Reports::Tick()
{
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    if (!busy_ && sending_.Empty() && now >= open_.begin + server_->Config().ReportIntervalSeconds) {
        sending_ = std::move(open_);
        sending_.end = now;
        open_ = Report::Period{now, 0, {}, {}};
        dirty_ = true;
        savedAt_ = 0;
    }
    if (dirty_ && now >= savedAt_ + SaveSeconds)
        Save();
    if (!busy_ && !sending_.Empty())
        Send();
}

QByteArray Reports::Contact(const Settings& settings)
{
    const QByteArray set = settings.ReportAddress.trimmed().toUtf8();
    return set.isEmpty() ? "postmaster@" + settings.ServerDomain.trimmed().toLower().toUtf8() : set;
}

void Reports::Send()
{
    busy_ = true;
    const Settings& settings = server_->Config();
    const QByteArray org = mdlCommon::ServerDomain.toUtf8();
    const QByteArray contact = Contact(settings);
    auto outgoing = std::make_shared<std::vector<Report::Outgoing>>();
    auto log = std::make_shared<std::vector<QByteArray>>();
    server_->Lookup(
        Server::Waits::Dns, "reports",
        [period = sending_, dnsServer = settings.DnsServer, org, contact, outgoing, log, &server = *server_] {
            const auto dns = Checks::Bounded(Dns::MakeResolver(dnsServer), LookupLimitMs, [&server] { return server.Stopping(); });
            *outgoing = Report::Prepare(period, *dns, org, contact, *log);
        },
        [self = QPointer<Reports>(this), outgoing, log] {
            if (!self)
                return;
            for (const QByteArray& line : *log)
                self->Log(line);
            self->Queue(*outgoing);
        });
}

void Reports::Queue(const std::vector<Report::Outgoing>& outgoing)
{
    pending_ = int(outgoing.size()) + 1;   // one for this loop: a delivery may end before Deliver returns
    for (const Report::Outgoing& o : outgoing) {
        Envelope m;
        m.sender = o.sender;
        m.recipients = o.to;
        m.text = o.text;
        m.origin = Envelope::Origin::Notice;
        Deliver(*server_, steps_, std::move(m), [self = QPointer<Reports>(this), what = o.what, to = o.to](const Outcome& done) {
            if (!self)
                return;
            if (!done.refusal.isEmpty())
                self->Log(what + " lost: " + (done.failure.isEmpty() ? done.refusal : done.failure));
            else
                self->Log(what + " queued for <" + to.join(">, <") + ">");
            if (--self->pending_ == 0)
                self->Finished();
        });
    }
    if (--pending_ == 0)
        Finished();
}

void Reports::Finished()
{
    sending_ = {};
    busy_ = false;
    dirty_ = true;
    savedAt_ = 0;
    Save();
}

void Reports::Save()
{
    if (*writing_)
        return;   // the next tick
    dirty_ = false;
    savedAt_ = QDateTime::currentSecsSinceEpoch();
    *writing_ = true;
    const QByteArray content = State();
    auto problem = std::make_shared<QByteArray>();
    server_->Offload(
        [content, writing = writing_, problem] {
            try {
                DurableFile::Replace(File(), content, true);
            } catch (const Failure& f) {
                *problem = f.text();
            }
            *writing = false;
        },
        [self = QPointer<Reports>(this), problem] {
            if (self && !problem->isEmpty()) {
                self->Log("Report counts not saved: " + *problem);
                self->dirty_ = true;
            }
        });
}

QByteArray Reports::State() const
{
    const QJsonObject state{{QStringLiteral("open"), open_.ToJson()}, {QStringLiteral("sending"), sending_.ToJson()}};
    return QJsonDocument(state).toJson(QJsonDocument::Compact);
}

void Reports::Log(const QByteArray& line) { server_->Log(line); }
