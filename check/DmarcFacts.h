#pragma once
// What one inbound DMARC check came to, as the daily aggregate reports (RFC 7489 7.2) count
// it. The checks tell each one that found a record to a sink the reports keep.
#include "check/Dmarc.h"

#include <QByteArray>
#include <QList>
#include <functional>

struct DmarcFacts {
    struct Signature {
        QByteArray domain, selector, result;   // d=, s=, "pass" etc.
    };
    QByteArray sourceIp;       // the client's address as text
    QByteArray headerFrom;     // the author domain
    QByteArray envelopeFrom;   // the domain SPF checked
    QByteArray spfScope;       // "mfrom" or "helo"
    QByteArray spfResult;      // "pass" etc.
    QList<Signature> dkim;
    QByteArray policyDomain;   // where the record was found
    Dmarc::Record record;
    Dmarc::Policy disposition = Dmarc::Policy::None;   // what was done: refused, kept as spam, or kept
    bool dkimAligned = false, spfAligned = false;
};

using DmarcSink = std::function<void(const DmarcFacts&)>;

// Installed once at start-up; until then (and when reports are off) facts told are dropped.
// Event thread only.
void SetDmarcSink(DmarcSink sink);
void TellDmarc(const DmarcFacts& facts);
