#pragma once
// The daily aggregate reports: TLS outcomes of the relay (RFC 8460) and DMARC checks of
// arriving mail (RFC 7489) are counted per policy domain for a period of ReportIntervalSeconds;
// then each domain that asks for reports gets one, through the one delivery like any mail of
// ours. The counts live in Reports.json in the program folder: a period due while the server
// was down is reported at the next start, and one whose reports were not all queued yet is
// reported again.
#include "report/Book.h"
#include "deliver/Step.h"

#include <QObject>
#include <QTimer>
#include <atomic>
#include <memory>

class Server;
namespace Dns {
class Resolver;
}

namespace Report {
struct Outgoing {
    QByteArray sender;
    QList<QByteArray> to;
    QByteArray text;
    QByteArray what;   // "DMARC report for example.org"
};
// The messages of a period, to the addresses each domain asks for and may have; `log` hears
// of each domain left without one. `org` is our domain, `contact` the report address. Blocks on DNS.
std::vector<Outgoing> Prepare(const Period& period, Dns::Resolver& dns, const QByteArray& org, const QByteArray& contact,
                              std::vector<QByteArray>& log);
}

class Reports : public QObject {
public:
    explicit Reports(StepList steps);
    ~Reports() override;   // what was counted is saved, so a stop loses nothing

    // Reads what the last run left and, with the setting Reports, counts and reports from now on.
    void Start(Server& server);

    static QString File();
    // Where reports come from and their bounces go: ReportAddress, else postmaster@ the domain.
    static QByteArray Contact(const Settings& settings);
    // How often the period's end is looked for; counts are saved at most this often.
    static constexpr int TickMs = 1000;
    static constexpr int SaveSeconds = 5;
    // All the DNS answers of one period's reports together.
    static constexpr int LookupLimitMs = 120000;

private:
    void Tick();
    void Send();
    void Queue(const std::vector<Report::Outgoing>& outgoing);
    void Finished();
    void Save();
    QByteArray State() const;
    void Log(const QByteArray& line);

    Server* server_ = nullptr;
    StepList steps_;
    Report::Period open_, sending_;
    bool dirty_ = false, busy_ = false;
    qint64 savedAt_ = 0;
    int pending_ = 0;
    std::shared_ptr<std::atomic<bool>> writing_ = std::make_shared<std::atomic<bool>>(false);
    QTimer tick_;
};
