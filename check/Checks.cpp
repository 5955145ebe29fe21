// The checks on mail from outside, put together: SPF, the DKIM signatures, DMARC over both,
// one Authentication-Results header (RFC 8601) and the verdict.
#include "check/Checks.h"
#include "core/Settings.h"
#include "dkim/DkimVerify.h"
#include "check/Dmarc.h"
#include "core/Access.h"
#include "core/TextHelper.h"
#include "core/mdlCommon.h"
#include "mail/AuthResults.h"

#include <QElapsedTimer>

namespace Checks {

namespace {

// Text for a header comment: printable, no parentheses or backslashes to unbalance it.
QByteArray Comment(const QByteArray& text)
{
    QByteArray c = TextHelper::Printable(text, TextHelper::ShownReason, true);
    for (char& ch : c)
        if (ch == '(' || ch == ')' || ch == '\\') ch = ' ';
    return c.trimmed().isEmpty() ? QByteArray() : " (" + c.trimmed() + ')';
}

// A property value: a token as RFC 2045 has it, or else a quoted string.
QByteArray Value(const QByteArray& text)
{
    static const QByteArray special = "()<>@,;:\\\"/[]?= ";
    QByteArray v = TextHelper::Printable(text, TextHelper::ShownValue, true);
    bool token = !v.isEmpty();
    for (char ch : v)
        if (special.contains(ch)) token = false;
    if (token)
        return v;
    v.replace('\\', "\\\\").replace('"', "\\\"");
    return '"' + v + '"';
}

// Why a result is what it is, where RFC 8601 puts it (readers drop comments).
QByteArray Reason(const QByteArray& text)
{
    const QByteArray why = TextHelper::Printable(text, TextHelper::ShownReason, true).trimmed();
    return why.isEmpty() ? QByteArray() : " reason=" + Value(why);
}

class BoundedResolver : public Dns::Resolver {
public:
    BoundedResolver(std::unique_ptr<Dns::Resolver> inner, int ms, std::function<bool()> stopped)
        : inner_(std::move(inner)), ms_(ms), stopped_(std::move(stopped))
    {
        clock_.start();
    }
    Dns::Answer Query(const QByteArray& name, Dns::Type type) override
    {
        if (clock_.elapsed() >= ms_ || (stopped_ && stopped_()))
            return Dns::Answer{};
        return inner_->Query(name, type);
    }

private:
    std::unique_ptr<Dns::Resolver> inner_;
    int ms_;
    std::function<bool()> stopped_;
    QElapsedTimer clock_;
};

// The rest of what the reports count, once the DMARC outcome is known.
DmarcFacts Facts(DmarcFacts f, const Dmarc::Outcome& dmarc, const QList<QByteArray>& passed, const QByteArray& spfName,
                 const QByteArray& spfDomain, Dmarc::Policy disposition)
{
    f.headerFrom = dmarc.fromDomain;
    f.policyDomain = dmarc.policyDomain;
    f.record = dmarc.record;
    f.disposition = disposition;
    for (const QByteArray& d : passed)
        f.dkimAligned = f.dkimAligned || Dmarc::Aligned(d, dmarc.fromDomain, dmarc.record.strictDkim);
    f.spfAligned = spfName == "pass" && Dmarc::Aligned(spfDomain, dmarc.fromDomain, dmarc.record.strictSpf);
    return f;
}

}

std::unique_ptr<Dns::Resolver> Bounded(std::unique_ptr<Dns::Resolver> inner, int ms, std::function<bool()> stopped)
{
    return std::make_unique<BoundedResolver>(std::move(inner), ms, std::move(stopped));
}

bool Applies(const Settings& settings, bool bySmtp, const QString& user, const QByteArray& client)
{
    return bySmtp && settings.AuthChecks && user.isEmpty() && !Access::MayRelay(settings, client);
}

QHostAddress ClientAddress(const QByteArray& client)
{
    return QHostAddress(QString::fromLatin1(client.startsWith("IPv6:") ? client.mid(5) : client));
}

QByteArray DmarcRefusal(const QByteArray& domain)
{
    return "550 5.7.1 Rejected by the DMARC policy of " + TextHelper::Printable(domain, TextHelper::ShownDomain, false);
}

Spf::Outcome CheckSpf(Dns::Resolver& dns, const Input& in, const QByteArray& receiver)
{
    return Spf::Check(dns, in.client, in.sender, in.helo, receiver);
}

Verdict Run(const Settings& settings, Dns::Resolver& dns, const Input& in, const QByteArray& text, const QByteArray& authservId, qint64 now)
{
    Verdict v;
    const Spf::Outcome spf = in.spf ? *in.spf : CheckSpf(dns, in, authservId);
    const QByteArray spfName = Mail::Name(spf.result);
    QList<QByteArray> results;
    results << "spf=" + spfName + Reason(spf.reason) + (spf.identity == "helo" ? " smtp.helo=" : " smtp.mailfrom=") + Value(spf.domain);
    v.log << "-SPF " + spfName + ' ' + spf.identity + '=' + TextHelper::Printable(spf.domain, TextHelper::ShownDomain, false) + Comment(spf.reason);

    const std::vector<DkimVerify::Signature> signatures = DkimVerify::Verify(dns, text, now);
    QList<QByteArray> passed;
    DmarcFacts facts;
    facts.sourceIp = in.client.toString().toLatin1();
    facts.envelopeFrom = spf.domain;
    facts.spfScope = spf.identity == "helo" ? "helo" : "mfrom";
    facts.spfResult = spfName;
    if (signatures.empty()) {
        results << "dkim=none";
    }
    for (const DkimVerify::Signature& s : signatures) {
        const QByteArray name = DkimVerify::Name(s.result);
        if (s.result == DkimVerify::Result::Pass)
            passed << s.domain.toLower();
        facts.dkim.append({s.domain, s.selector, name});
        results << "dkim=" + name + Reason(s.reason) + " header.d=" + Value(s.domain) + " header.s=" + Value(s.selector)
                       + " header.a=" + Value(s.algorithm) + (s.b.isEmpty() ? QByteArray() : " header.b=" + Value(s.b));
        v.log << "-DKIM " + name + " d=" + TextHelper::Printable(s.domain, TextHelper::ShownDomain, false) + " s=" + TextHelper::Printable(s.selector, TextHelper::ShownSelector, false)
                     + " a=" + TextHelper::Printable(s.algorithm, TextHelper::ShownAlgorithm, false) + Comment(s.reason);
    }

    const Dmarc::Outcome dmarc = Dmarc::Check(dns, text, spfName, spf.domain, passed);
    const QByteArray dmarcName = Dmarc::Name(dmarc.result);
    QByteArray policy;
    if (dmarc.result == Dmarc::Result::Fail)
        policy = QByteArray(" (p=") + Dmarc::Name(dmarc.policy) + ')';
    results << "dmarc=" + dmarcName + (policy.isEmpty() ? Reason(dmarc.reason) : policy)
                   + (dmarc.fromDomain.isEmpty() ? QByteArray() : " header.from=" + Value(dmarc.fromDomain));
    QByteArray line = "-DMARC " + dmarcName + " from=" + TextHelper::Printable(dmarc.fromDomain, TextHelper::ShownDomain, false) + policy;
    if (dmarc.severalAuthors)
        line += Comment(dmarc.reason);
    const bool rejects = (dmarc.result == Dmarc::Result::Fail && dmarc.policy == Dmarc::Policy::Reject) || dmarc.severalAuthors;
    if (rejects && settings.DmarcReject) {
        v.refusal = dmarc.severalAuthors ? QByteArray(SeveralAuthorsRefusal) : DmarcRefusal(dmarc.fromDomain);
        line += ": refused";
    } else if (rejects || (dmarc.result == Dmarc::Result::Fail && dmarc.policy != Dmarc::Policy::None)) {
        v.quarantined = true;
        line += ": kept as spam";
    }
    v.log << line;
    if (dmarc.result == Dmarc::Result::Pass || dmarc.result == Dmarc::Result::Fail)
        v.facts = Facts(std::move(facts), dmarc, passed, spfName, spf.domain, !v.refusal.isEmpty() ? Dmarc::Policy::Reject : v.quarantined ? Dmarc::Policy::Quarantine : Dmarc::Policy::None);

    v.header = Mail::AuthResultsField(authservId, results);
    if (v.quarantined)
        v.header += "X-Spam-Flag: YES\r\n";
    return v;
}

}
