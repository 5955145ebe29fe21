#pragma once
// The counts of one reporting period: per policy domain, rows of what was seen and how often,
// kept as JSON objects so that the period goes to its file and back as it is.
#include "check/DmarcFacts.h"
#include "relay/TlsOutcome.h"

#include <QByteArray>
#include <QJsonObject>
#include <map>

namespace Report {

// Bounds: a period holds rows for at most this many domains of each kind, and this many
// distinct rows per domain; what would go past them is not counted.
inline constexpr int MaxDomains = 1000;
inline constexpr int MaxRows = 100;

struct Rows {
    QJsonObject head;                           // DMARC: the policy published and its rua=
    std::map<QByteArray, QJsonObject> rows;     // by the row's own text; each with its "count"
};

struct Period {
    qint64 begin = 0, end = 0;   // seconds since the epoch
    std::map<QByteArray, Rows> tls, dmarc;   // by policy domain
    bool Empty() const { return tls.empty() && dmarc.empty(); }
    QJsonObject ToJson() const;
    static Period FromJson(const QJsonObject& json);
};

// Counts one outcome; false when a bound left it out. A DMARC check whose record asks for no
// aggregate reports (no rua=) is not counted.
bool Count(Period& period, const TlsOutcome& outcome);
bool Count(Period& period, const DmarcFacts& facts);

}
