#pragma once
// What one relay connection's TLS came to, as the daily TLS reports (RFC 8460) count it. The
// relay tells each outcome to a sink the reports keep; nothing here knows how they are sent.
#include <QByteArray>
#include <QList>
#include <QString>
#include <functional>

struct TlsOutcome {
    enum class Policy { None, Sts, Tlsa };   // no-policy-found, sts, tlsa
    QByteArray domain;                       // the recipient domain (the policy domain)
    Policy policy = Policy::None;
    QList<QByteArray> policyStrings;         // the STS policy's lines, or the TLSA records as text
    QByteArray mxHost;                       // the exchanger's name
    QByteArray receivingIp;                  // its address as text
    // Empty: TLS was set up as the policy asks. Else the result type of RFC 8460 section 4.3
    // ("starttls-not-supported", "certificate-host-mismatch", "certificate-not-trusted",
    // "validation-failure", "tlsa-invalid", "dnssec-invalid", "sts-policy-fetch-error"...).
    QByteArray failure;
};

using TlsOutcomeSink = std::function<void(const TlsOutcome&)>;

// The reports install their sink once at start-up; until then (and when reports are off) an
// outcome told is dropped. Event thread only.
void SetTlsOutcomeSink(TlsOutcomeSink sink);
void TellTlsOutcome(const TlsOutcome& outcome);
