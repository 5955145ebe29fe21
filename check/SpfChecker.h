#pragma once
// check_host() (RFC 7208 section 4) over a parsed record: term by term, with the processing
// limits of 4.6.4 and the time limit on the DNS; a temperror or permerror anywhere ends the
// whole check (a Stop). One Checker serves one check.
#include "check/SpfRecord.h"

#include <QElapsedTimer>
#include <QList>

namespace Spf {

class Checker {
public:
    Checker(Dns::Resolver& dns, const QHostAddress& ip, int limitMs);

    // The macro values of the sender (%{s}, %{l}, %{o}), the HELO name and our host name.
    QByteArray sender, local, senderDomain, helo, receiver;

    struct Verdict {
        Result result = Result::None;
        QByteArray reason;
        std::optional<Pieces> exp;   // the exp= of the record that decided, and its domain
        QByteArray expDomain;
    };

    // check_host() for `domain` (4): None when it has no SPF record (or cannot have one).
    Verdict Evaluate(const QByteArray& domain);
    // The exp= text of a fail (6.2): "" when anything about it is wrong.
    QByteArray Explain(const Verdict& v);

private:
    std::optional<Record> FindRecord(const QByteArray& domain);
    Dns::Answer Ask(const QByteArray& name, Dns::Type type);
    Dns::Answer Lookup(const QByteArray& name, Dns::Type type);
    void CountVoid(const Dns::Answer& answer, const QByteArray& name);
    void Count();
    bool AddressMatches(const QByteArray& name, int prefix);
    bool Matches(const Directive& d, const QByteArray& domain);
    bool MxMatches(const Directive& d, const QByteArray& domain, const QByteArray& target, int prefix);
    bool IncludeMatches(const Directive& d, const QByteArray& domain, const QByteArray& target);
    QList<QByteArray> Validated(bool counted);
    QByteArray ReverseName() const;
    QByteArray Ip() const;
    QByteArray P(const QByteArray& domain);
    QByteArray Value(char letter, const QByteArray& domain);
    QByteArray Target(const Pieces& pieces, const QByteArray& domain);

    Dns::Resolver& dns_;
    QHostAddress ip_;
    bool six_ = false;
    int limitMs_;
    QElapsedTimer clock_;
    int terms_ = 0, voids_ = 0;
    std::optional<QList<QByteArray>> validated_;
};

}
